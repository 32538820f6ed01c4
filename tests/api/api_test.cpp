// The C API as a program that embeds it sees it: statuses as values, messages and console lines
// through the callbacks and nowhere else, and calls on different files from several threads
// giving exactly what they give one at a time.
#include "support/scratch_directory.h"
#include "zep/zep.h"

#include <cstddef>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <random>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Heard {
    std::string messages;
    std::string console;
    std::vector<int> percents;
    int runs = 0;
    int cancelAt = 101;  // the progress callback asks to stop from this percentage on
    std::string events;  // what apply did with each record
};

zep_callbacks listeningTo(Heard& heard)
{
    return {
        sizeof(zep_callbacks),
        &heard,
        [](void* context, const char* text) { static_cast<Heard*>(context)->messages += text; },
        [](void* context, const char* text) { static_cast<Heard*>(context)->console += text; },
        [](void* context, int percent) {
            auto* listener = static_cast<Heard*>(context);
            listener->percents.push_back(percent);
            return percent >= listener->cancelAt ? 1 : 0;
        },
        [](void* context, zep_run* run) { static_cast<Heard*>(context)->runs += run != nullptr; },
        [](void* context, int event, const char* oldName, const char* newName) {
            static_cast<Heard*>(context)->events +=
                std::to_string(event) + " " + oldName + " " + newName + "\n";
        }};
}

std::string bytes(size_t count, uint32_t seed)
{
    std::mt19937 random(seed);
    std::string text(count, '\0');
    for (char& c : text)
        c = static_cast<char>(random());
    return text;
}

// A new version: the old one with a few bytes changed, a stretch moved and a tail appended.
std::string edited(const std::string& old, uint32_t seed)
{
    std::string text = old;
    std::mt19937 random(seed);
    for (int i = 0; i < 20; ++i)
        text[random() % text.size()] ^= 0x5A;
    const size_t cut = text.size() / 3;
    text = text.substr(cut) + text.substr(0, cut) + bytes(777, seed + 1);
    return text;
}

}  // namespace

TEST(ApiTest, FailuresComeBackAsStatusesWithTheirMessageOnce)
{
    ScratchDirectory scratch;
    const std::string old = scratch.file("old.bin", "old content");
    Heard heard;
    const zep_callbacks callbacks = listeningTo(heard);
    const std::string missing = scratch.path() + "/missing.bin";
    EXPECT_EQ(zep_create(old.c_str(), missing.c_str(), (scratch.path() + "/d.zep").c_str(), nullptr,
                         &callbacks),
              ZEP_CANNOT_OPEN);
    EXPECT_EQ(heard.messages, "[" + missing + "] not exist.\n");
    EXPECT_EQ(heard.runs, 1);
    EXPECT_EQ(zep_list(missing.c_str(), nullptr, nullptr, nullptr), ZEP_CANNOT_OPEN);
    EXPECT_EQ(zep_apply(old.c_str(), scratch.path().c_str(), &callbacks), ZEP_OK);
    EXPECT_EQ(heard.console, "[" + old + "] is not zep file.\n");
    heard.messages.clear();  // a directory to apply in is opened before anything else
    EXPECT_EQ(zep_apply(old.c_str(), missing.c_str(), &callbacks), ZEP_CANNOT_OPEN);
    EXPECT_EQ(heard.messages, "[" + missing + "] not exist.\n");
    EXPECT_STREQ(zep_version(), "1.13");
    EXPECT_STREQ(zep_version(), ZEP_VERSION_STRING);
}

TEST(ApiTest, NothingLeavesThroughTheEdgeAndBadArgumentsGetAStatus)
{
    ScratchDirectory scratch;
    const std::string old = scratch.file("old.bin", bytes(300000, 7));
    const std::string changed = scratch.file("new.bin", edited(bytes(300000, 7), 99));
    const std::string diff = scratch.path() + "/d.zep";
    Heard heard;
    zep_callbacks callbacks = listeningTo(heard);
    // A progress callback that throws: the call ends with ZEP_INTERNAL, the difference file as
    // it was (here: never made), and the caller told that the run is over.
    callbacks.progress = [](void* context, int) -> int {
        ++static_cast<Heard*>(context)->runs;
        throw std::runtime_error("caller's fault");
    };
    callbacks.run = [](void* context, zep_run* run) {
        static_cast<Heard*>(context)->runs += run != nullptr ? 1 : 10;
    };
    EXPECT_EQ(zep_create(old.c_str(), changed.c_str(), diff.c_str(), nullptr, &callbacks),
              ZEP_INTERNAL);
    EXPECT_EQ(heard.messages, "internal error: caller's fault.\n");
    EXPECT_EQ(heard.runs, 12);  // the run given (1) and taken back (10), one progress call (1)
    EXPECT_NE(access(diff.c_str(), F_OK), 0);

    // NULL arguments, zero-filled structs, options out of range.
    zep_create_options options{};
    const zep_callbacks zeroed{};
    EXPECT_EQ(zep_create(nullptr, old.c_str(), diff.c_str(), nullptr, nullptr),
              ZEP_INVALID_ARGUMENT);
    EXPECT_EQ(zep_apply(nullptr, nullptr, nullptr), ZEP_INVALID_ARGUMENT);
    EXPECT_EQ(zep_list(nullptr, nullptr, nullptr, nullptr), ZEP_INVALID_ARGUMENT);
    EXPECT_EQ(zep_create(old.c_str(), changed.c_str(), diff.c_str(), &options, nullptr),
              ZEP_INVALID_ARGUMENT);
    EXPECT_EQ(zep_apply(diff.c_str(), nullptr, &zeroed), ZEP_INVALID_ARGUMENT);
    zep_create_options_init(&options);
    options.compact = 2;
    EXPECT_EQ(zep_create(old.c_str(), changed.c_str(), diff.c_str(), &options, nullptr),
              ZEP_INVALID_ARGUMENT);
    zep_run_undo(nullptr);
    EXPECT_EQ(zep_run_mapped_file(nullptr, old.c_str()), nullptr);
    zep_create_options_init(nullptr);
    zep_callbacks_init(nullptr);
    EXPECT_STREQ(zep_status_text(ZEP_BUSY), "the difference file is in use by another process");
    char name[16];
    EXPECT_EQ(zep_diff_name("v2/app.bin", name, sizeof name), 7u);
    EXPECT_STREQ(name, "app.zep");
    EXPECT_EQ(zep_diff_name(nullptr, name, sizeof name), 0u);
    char piece[ZEP_ESCAPE_PIECE];
    size_t consumed = 0;
    EXPECT_EQ(zep_escape_piece("\x1b[2J", 5, piece, &consumed), 4u);
    EXPECT_EQ(std::string(piece, 4), "\\x1b");
    EXPECT_EQ(consumed, 1u);
    EXPECT_EQ(zep_escape_piece("a", 0, piece, &consumed), 0u);
    EXPECT_EQ(consumed, 0u);
    EXPECT_STREQ(zep_status_text(99), "unknown status");

    // A caller built before the last members existed gets their defaults: here a struct that
    // ends before `compact` writes a plain record even with garbage behind its size.
    zep_create_options_init(&options);
    options.size = offsetof(zep_create_options, compact);
    options.compact = 77;
    ASSERT_EQ(zep_create(old.c_str(), changed.c_str(), diff.c_str(), &options, nullptr), ZEP_OK);

    // What an apply did, counted, as far as the caller's struct reaches, with each option in
    // turn: applied; up to date once the old version has another time; skipped once the target
    // differs too, which strict makes a failure and a check reports; taken by its content.
    zep_apply_counts counts{};
    EXPECT_EQ(zep_apply_with(diff.c_str(), nullptr, nullptr, nullptr, &counts),
              ZEP_INVALID_ARGUMENT);
    const auto applyWith = [&](int32_t byContent, int32_t check, int32_t strict) {
        const zep_apply_options chosen = {sizeof chosen, byContent, check, strict};
        counts = {sizeof counts, 9, 9, 9, 9, 9};
        const int status =
            zep_apply_with(diff.c_str(), scratch.path().c_str(), &chosen, nullptr, &counts);
        return std::vector<uint32_t>{static_cast<uint32_t>(status),
                                     counts.records,
                                     counts.applied,
                                     counts.up_to_date,
                                     counts.skipped,
                                     counts.failing};
    };
    using Counts = std::vector<uint32_t>;
    EXPECT_EQ(applyWith(0, 0, 0), (Counts{ZEP_OK, 1, 1, 0, 0, 0}));
    const timespec longAgo[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, old.c_str(), longAgo, 0), 0);
    EXPECT_EQ(applyWith(0, 0, 1), (Counts{ZEP_OK, 1, 0, 1, 0, 0}));
    scratch.file("new.bin", "elsewhere");
    EXPECT_EQ(applyWith(0, 0, 0), (Counts{ZEP_OK, 1, 0, 0, 1, 0}));
    EXPECT_EQ(applyWith(0, 0, 1), (Counts{ZEP_NOT_ALL_APPLIED, 1, 0, 0, 1, 0}));
    EXPECT_EQ(applyWith(0, 1, 0), (Counts{ZEP_NOT_ALL_APPLIED, 1, 0, 0, 1, 0}));
    EXPECT_EQ(applyWith(1, 1, 0), (Counts{ZEP_OK, 1, 1, 0, 0, 0}));
    EXPECT_EQ(ScratchDirectory::read(changed), "elsewhere");  // a check writes nothing
    EXPECT_EQ(applyWith(1, 0, 1), (Counts{ZEP_OK, 1, 1, 0, 0, 0}));
    counts = {offsetof(zep_apply_counts, applied), 9, 9, 9, 9, 9};
    EXPECT_EQ(zep_apply_with(diff.c_str(), scratch.path().c_str(), nullptr, nullptr, &counts),
              ZEP_OK);
    EXPECT_EQ((Counts{counts.records, counts.applied}), (Counts{1, 9}));
}

TEST(ApiTest, ACallbackMayUseTheFileOnceItsRecordIsDone)
{
    // "done." comes after the create let go of the difference file: a caller that appends the
    // next record when it sees it does not wait for its own lock.
    ScratchDirectory scratch;
    struct Chain {
        std::string old, changed, diff;
        int inner = -1;
    } chain{scratch.file("a", "first version"), scratch.file("b", "second version"),
            scratch.path() + "/d.zep"};
    zep_callbacks callbacks;
    zep_callbacks_init(&callbacks);
    callbacks.context = &chain;
    callbacks.console = [](void* context, const char* text) {
        auto* self = static_cast<Chain*>(context);
        if (std::string(text) == "\ndone.\n" && self->inner == -1)
            self->inner = zep_create(self->old.c_str(), self->changed.c_str(), self->diff.c_str(),
                                     nullptr, nullptr);
    };
    setenv("ZEP_LOCK_WAIT", "0", 1);
    EXPECT_EQ(zep_create(chain.old.c_str(), chain.changed.c_str(), chain.diff.c_str(), nullptr,
                         &callbacks),
              ZEP_OK);
    unsetenv("ZEP_LOCK_WAIT");
    EXPECT_EQ(chain.inner, ZEP_OK);
    int records = 0;
    EXPECT_EQ(zep_list(
                  chain.diff.c_str(),
                  [](void* context, const zep_record*) { return ++*static_cast<int*>(context), 0; },
                  &records, nullptr),
              ZEP_OK);
    EXPECT_EQ(records, 2);
}

TEST(ApiTest, ACreateInsideACreateOnTheSameFileEndsAtOnce)
{
    // A callback that appends to the file its own call is writing would wait for itself.
    ScratchDirectory scratch;
    struct Nested {
        std::string old, changed, diff, message;
        int inner = -1;
    } nested{scratch.file("a", bytes(200000, 5)), scratch.file("b", edited(bytes(200000, 5), 9)),
             scratch.path() + "/d.zep", ""};
    zep_callbacks callbacks;
    zep_callbacks_init(&callbacks);
    callbacks.context = &nested;
    callbacks.progress = [](void* context, int) {
        auto* self = static_cast<Nested*>(context);
        if (self->inner != -1)
            return 0;
        zep_callbacks heard;
        zep_callbacks_init(&heard);
        heard.context = &self->message;
        heard.message = [](void* message, const char* text) {
            *static_cast<std::string*>(message) += text;
        };
        self->inner = zep_create(self->old.c_str(), self->changed.c_str(), self->diff.c_str(),
                                 nullptr, &heard);
        return 0;
    };
    EXPECT_EQ(zep_create(nested.old.c_str(), nested.changed.c_str(), nested.diff.c_str(), nullptr,
                         &callbacks),
              ZEP_OK);
    EXPECT_EQ(nested.inner, ZEP_BUSY);
    EXPECT_EQ(nested.message, "[" + nested.diff +
                                  "] is in use by the call that this one runs in; nothing "
                                  "appended.\n");
}

TEST(ApiTest, ProgressThatAsksToStopLeavesEverythingAsItWas)
{
    ScratchDirectory scratch;
    const std::string base = bytes(400000, 11);
    mkdir((scratch.path() + "/old").c_str(), 0700);
    mkdir((scratch.path() + "/new").c_str(), 0700);
    const std::string old = scratch.file("old/a", base);
    const std::string changed = scratch.file("new/a", edited(base, 3));
    const timespec later[2] = {{1700000000, 0}, {1700000000, 0}};
    utimensat(AT_FDCWD, changed.c_str(), later, 0);  // the versions' times differ
    const std::string diff = scratch.path() + "/d.zep";
    ASSERT_EQ(zep_create(old.c_str(), changed.c_str(), diff.c_str(), nullptr, nullptr), ZEP_OK);
    const std::string before = ScratchDirectory::read(diff);
    Heard heard;
    heard.cancelAt = 1;
    const zep_callbacks callbacks = listeningTo(heard);
    // A second record, stopped halfway: the difference file keeps its first record alone.
    EXPECT_EQ(zep_create(old.c_str(), changed.c_str(), diff.c_str(), nullptr, &callbacks),
              ZEP_CANCELLED);
    EXPECT_TRUE(ScratchDirectory::read(diff) == before);
    EXPECT_EQ(heard.messages, "");
    // An apply stopped halfway: the target as it was, no backup, nothing left behind.
    const std::string work = scratch.path() + "/old";
    EXPECT_EQ(zep_apply(diff.c_str(), work.c_str(), &callbacks), ZEP_CANCELLED);
    EXPECT_TRUE(ScratchDirectory::read(old) == base);
    EXPECT_EQ(access((work + "/a.000").c_str(), F_OK), -1);
    DIR* directory = opendir(work.c_str());
    int entries = 0;
    while (readdir(directory) != nullptr)
        ++entries;
    closedir(directory);
    EXPECT_EQ(entries, 3);  // ".", ".." and a

    // What apply did with each record, as events: started and stopped, then applied, then up
    // to date: the old version is gone, and the file already holds the new one.
    EXPECT_EQ(heard.events, std::to_string(ZEP_RECORD_STARTED) + " a a\n");
    heard.cancelAt = 101;
    heard.events.clear();
    ASSERT_EQ(zep_apply(diff.c_str(), work.c_str(), &callbacks), ZEP_OK);
    ASSERT_EQ(zep_apply(diff.c_str(), work.c_str(), &callbacks), ZEP_OK);
    EXPECT_EQ(heard.events, "0 a a\n1 a a\n0 a a\n3 a a\n");
}

// With -W -Z the progress line follows the sort, the scan on two threads, the packings and the
// trial of the whole-file plan: it starts at 0, only rises, shows most percentages and ends at 100,
// all on the calling thread; a stop asked anywhere along it leaves the difference file as it was.
TEST(ApiTest, CompactWholeFileCreatesShowTheirProgressThroughoutAndStopAnywhere)
{
    ScratchDirectory scratch;
    // A program's new release: moved, with short insertions that start new covers and scattered
    // changed bytes that the covers hold.
    std::mt19937 random(23);
    const std::string program = bytes(size_t{2} << 20, 21);
    std::string release;
    for (size_t at = 0; at < program.size(); at += 512) {
        release += program.substr(at, 512);
        release += bytes(random() % 16, static_cast<uint32_t>(at));
        release[release.size() - 1 - random() % 256] ^= 0x10;
    }
    release = edited(release, 22);
    // A text of 1.2 MB with a few lines inserted: nearly alike, so the whole-file plan is tried
    // as well.
    std::vector<std::string> words(300);
    for (std::string& word : words)
        for (uint32_t k = 0, length = 3 + random() % 7; k < length; ++k)
            word += static_cast<char>('a' + random() % 26);
    std::string text;
    while (text.size() < 1200 * 1024)
        text += words[random() % words.size()] + (random() % 12 == 0 ? "\n" : " ");
    std::string revised = text;
    for (int i = 0; i < 5; ++i)
        revised.insert(revised.size() / 6 * (i + 1), "a line that was not there before\n");

    struct Listener {
        std::vector<int> percents;
        int cancelAt = 101;
        bool elsewhere = false;  // a callback on another thread than the caller's
        std::thread::id caller = std::this_thread::get_id();
    };
    const struct {
        std::string old, changed;
    } pairs[] = {{program, release}, {text, revised}};
    for (size_t p = 0; p < std::size(pairs); ++p) {
        SCOPED_TRACE(p);
        const std::string dir = "p" + std::to_string(p);
        mkdir((scratch.path() + "/" + dir).c_str(), 0700);
        const std::string old = scratch.file(dir + "/old", pairs[p].old);
        const std::string changed = scratch.file(dir + "/new", pairs[p].changed);
        const std::string diff = scratch.path() + "/" + dir + ".zep";
        zep_create_options options;
        zep_create_options_init(&options);
        options.whole_file = 1;
        options.compact = 1;
        Listener listener;
        zep_callbacks callbacks;
        zep_callbacks_init(&callbacks);
        callbacks.context = &listener;
        callbacks.progress = [](void* context, int percent) {
            auto* heard = static_cast<Listener*>(context);
            heard->percents.push_back(percent);
            heard->elsewhere |= std::this_thread::get_id() != heard->caller;
            return percent >= heard->cancelAt ? 1 : 0;
        };
        ASSERT_EQ(zep_create(old.c_str(), changed.c_str(), diff.c_str(), &options, &callbacks),
                  ZEP_OK);
        const std::vector<int>& percents = listener.percents;
        ASSERT_FALSE(percents.empty());
        EXPECT_EQ(percents.front(), 0);
        EXPECT_EQ(percents.back(), 100);
        for (size_t i = 1; i < percents.size(); ++i)
            EXPECT_LT(percents[i - 1], percents[i]) << i;
        EXPECT_GE(percents.size(), 50u);
        EXPECT_FALSE(listener.elsewhere);

        for (const int cancelAt : {1, 30, 50, 70, 99}) {
            SCOPED_TRACE(cancelAt);
            const std::string before = ScratchDirectory::read(diff);
            listener.cancelAt = cancelAt;
            listener.percents.clear();
            EXPECT_EQ(zep_create(old.c_str(), changed.c_str(), diff.c_str(), &options, &callbacks),
                      ZEP_CANCELLED);
            EXPECT_TRUE(ScratchDirectory::read(diff) == before);
            EXPECT_GE(listener.percents.back(), cancelAt);
        }
        EXPECT_FALSE(listener.elsewhere);
    }
}

TEST(ApiTest, CreatesAndAppliesInThreadsGiveWhatTheyGiveOneAtATime)
{
    constexpr int kPairs = 8;
    ScratchDirectory scratch;
    std::vector<std::string> olds, news;
    for (int i = 0; i < kPairs; ++i) {
        const std::string old = bytes(200000 + 30000 * i, 100 + i);
        olds.push_back(scratch.file("old" + std::to_string(i), old));
        news.push_back(scratch.file("new" + std::to_string(i), edited(old, 200 + i)));
    }
    // One at a time: record i in one/i.zep, applied in one/i/.
    const auto createAndApply = [&](const std::string& where, int i) {
        const std::string dir = where + "/" + std::to_string(i);
        mkdir(dir.c_str(), 0700);
        zep_create_options options;
        zep_create_options_init(&options);
        options.whole_file = i % 2;
        options.compact = i / 2 % 2;
        const std::string diff = dir + ".zep";
        if (zep_create(olds[i].c_str(), news[i].c_str(), diff.c_str(), &options, nullptr) != 0)
            return -1;
        const std::string copy = dir + "/old" + std::to_string(i);
        const std::string content = ScratchDirectory::read(olds[i]);
        scratch.file(copy.substr(scratch.path().size() + 1), content);
        struct stat info;
        stat(olds[i].c_str(), &info);
        const struct timespec times[2] = {info.st_atim, info.st_mtim};
        utimensat(AT_FDCWD, copy.c_str(), times, 0);
        return zep_apply(diff.c_str(), dir.c_str(), nullptr);
    };
    const std::string one = scratch.path() + "/one";
    const std::string many = scratch.path() + "/many";
    mkdir(one.c_str(), 0700);
    mkdir(many.c_str(), 0700);
    for (int i = 0; i < kPairs; ++i)
        ASSERT_EQ(createAndApply(one, i), 0) << i;

    // Four threads at once, two pairs each.
    std::vector<int> statuses(kPairs, -1);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = t; i < kPairs; i += 4)
                statuses[i] = createAndApply(many, i);
        });
    for (std::thread& thread : threads)
        thread.join();
    for (int i = 0; i < kPairs; ++i) {
        SCOPED_TRACE(i);
        const std::string name = "/" + std::to_string(i);
        EXPECT_EQ(statuses[i], 0);
        EXPECT_TRUE(ScratchDirectory::read(many + name + ".zep") ==
                    ScratchDirectory::read(one + name + ".zep"));
        EXPECT_TRUE(ScratchDirectory::read(many + name + "/new" + std::to_string(i)) ==
                    ScratchDirectory::read(news[i]));
    }
}

TEST(ApiTest, AnApplyStaysInTheDirectoryItCheckedWhenItsNameIsSwitchedToAnother)
{
    // A deploy switches the link "cur" from one tree to the other while the apply runs: at its
    // first progress report, after the source passed its time check in the first tree.
    ScratchDirectory scratch;
    const std::string old = bytes(100000, 7);
    const std::string fresh = edited(old, 8);
    const std::string unrelated = bytes(100000, 9);
    for (const char* dir : {"/one", "/two"})
        mkdir((scratch.path() + dir).c_str(), 0700);
    const std::string oldPath = scratch.file("one/a", old);
    const std::string newPath = scratch.file("a", fresh);
    const std::string diff = scratch.path() + "/d.zep";
    ASSERT_EQ(zep_create(oldPath.c_str(), newPath.c_str(), diff.c_str(), nullptr, nullptr), 0);
    scratch.file("two/a", unrelated);
    const std::string cur = scratch.path() + "/cur";
    ASSERT_EQ(symlink("one", cur.c_str()), 0);

    struct Deploy {
        std::string cur;
        bool switched = false;
        static int onProgress(void* context, int)
        {
            auto* deploy = static_cast<Deploy*>(context);
            if (deploy->switched)
                return 0;
            deploy->switched = true;
            const std::string next = deploy->cur + ".next";
            symlink("two", next.c_str());
            rename(next.c_str(), deploy->cur.c_str());
            return 0;
        }
    } deploy{cur};
    const zep_callbacks callbacks = {sizeof(zep_callbacks), &deploy, nullptr, nullptr,
                                     Deploy::onProgress,    nullptr, nullptr};
    EXPECT_EQ(zep_apply(diff.c_str(), cur.c_str(), &callbacks), ZEP_OK);
    ASSERT_TRUE(deploy.switched);
    EXPECT_TRUE(ScratchDirectory::read(cur + "/a") == unrelated);
    EXPECT_TRUE(ScratchDirectory::read(scratch.path() + "/one/a") == fresh);
    EXPECT_TRUE(ScratchDirectory::read(scratch.path() + "/one/a.000") == old);
    // The other tree was never checked, and nothing of the apply reached it.
    EXPECT_TRUE(ScratchDirectory::read(scratch.path() + "/two/a") == unrelated);
    struct stat info;
    EXPECT_NE(stat((scratch.path() + "/two/a.000").c_str(), &info), 0);
}

// A tree through the library: created, listed with what changes, applied with counts, then up
// to date; the bad arguments of the single-file calls are bad here too.
TEST(ApiTest, TreesAreCreatedListedAndAppliedWithCounts)
{
    ScratchDirectory scratch;
    for (const char* directory : {"/old", "/new", "/old/d", "/new/d"})
        ASSERT_EQ(mkdir((scratch.path() + directory).c_str(), 0755), 0);
    scratch.file("old/d/f", "first version");
    scratch.file("new/d/f", "second version");
    scratch.file("new/added", "added");
    const std::string diff = scratch.path() + "/t.zep";
    ASSERT_EQ(zep_create_tree((scratch.path() + "/old").c_str(), (scratch.path() + "/new").c_str(),
                              diff.c_str(), nullptr, nullptr),
              ZEP_OK);
    std::string listed;
    ASSERT_EQ(zep_list(
                  diff.c_str(),
                  [](void* context, const zep_record* record) {
                      if (record->tree_changes != nullptr)
                          *static_cast<std::string*>(context) += record->tree_changes;
                      return 0;
                  },
                  &listed, nullptr),
              ZEP_OK);
    EXPECT_EQ(listed, "added ./added\nchanged ./d/f\n");
    zep_apply_counts counts{sizeof counts, 0, 0, 0, 0, 0};
    const std::string tree = scratch.path() + "/old";
    ASSERT_EQ(zep_apply_tree(diff.c_str(), tree.c_str(), nullptr, nullptr, &counts), ZEP_OK);
    EXPECT_EQ(ScratchDirectory::read(tree + "/d/f"), "second version");
    EXPECT_EQ((std::vector<uint32_t>{counts.records, counts.applied}),
              (std::vector<uint32_t>{1, 1}));
    ASSERT_EQ(zep_apply_tree(diff.c_str(), tree.c_str(), nullptr, nullptr, &counts), ZEP_OK);
    EXPECT_EQ(counts.up_to_date, 1u);
    EXPECT_EQ(zep_apply_with(diff.c_str(), tree.c_str(), nullptr, nullptr, nullptr),
              ZEP_UNSAFE_NAME);
    EXPECT_EQ(zep_apply_tree(nullptr, nullptr, nullptr, nullptr, nullptr), ZEP_INVALID_ARGUMENT);
    EXPECT_EQ(zep_create_tree(tree.c_str(), nullptr, diff.c_str(), nullptr, nullptr),
              ZEP_INVALID_ARGUMENT);
}
