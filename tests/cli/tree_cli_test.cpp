// Whole trees end to end: every kind of change made and applied, hostile trees refused with
// nothing changed, and applies stopped at random moments that end in the old tree or the new
// one, never a mix.
#include "cli/cli_test.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <random>
#include <sstream>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class TreeCliTest : public CliTest {
  public:
    using CliTest::path;
    using CliTest::setModified;
    void put(const std::string& name, const std::string& content, long long seconds = 1700000000)
    {
        fs::create_directories(fs::path(path(name)).parent_path());
        writeFile(name, content);
        setModified(name, seconds);
    }
    void link(const std::string& target, const std::string& name)
    {
        fs::create_directories(fs::path(path(name)).parent_path());
        ASSERT_EQ(symlink(target.c_str(), path(name).c_str()), 0);
    }
    void copyTree(const std::string& from, const std::string& to)
    {
        ASSERT_EQ(runShell("cp -a " + from + " " + to).status, 0);
    }
    // Everything below the directory as one text: kind, mode, a file's bytes and time, a link's
    // text. What apply keeps for itself (backups) is left out; its work names are not.
    std::string state(const std::string& name) const
    {
        std::vector<std::string> lines;
        const fs::path top = path(name);
        for (auto it = fs::recursive_directory_iterator(top); it != fs::end(it); ++it) {
            const std::string relative = it->path().lexically_relative(top).string();
            if (relative.rfind(".zep-backup-", 0) == 0) {
                it.disable_recursion_pending();
                continue;
            }
            struct stat info;
            lstat(it->path().c_str(), &info);
            std::string line = relative + " " + std::to_string(info.st_mode);
            if (S_ISREG(info.st_mode))
                line +=
                    " " + std::to_string(info.st_mtim.tv_sec) + " " + readFile(it->path().string());
            else if (S_ISLNK(info.st_mode))
                line += " -> " + fs::read_symlink(it->path()).string();
            lines.push_back(line);
        }
        std::sort(lines.begin(), lines.end());
        std::string all;
        for (const std::string& line : lines)
            all += line + "\n";
        return all;
    }

  protected:
    using CliTest::runShell;
};

struct Shape {
    const char* name;
    std::function<void(TreeCliTest&)> build;  // writes old/ and new/
};

}  // namespace

TEST_F(TreeCliTest, EveryKindOfChangeIsMadeAndAppliedAndThenUpToDate)
{
    const std::vector<Shape> shapes = {
        {"changed", [](TreeCliTest& t) { t.put("old/a", "one\n"), t.put("new/a", "one two\n"); }},
        {"added in a new directory",
         [](TreeCliTest& t) { t.put("old/a", "x"), t.put("new/a", "x"), t.put("new/d/e/f", "f"); }},
        {"removed with its directory",
         [](TreeCliTest& t) { t.put("old/d/e/f", "f"), t.put("old/a", "x"), t.put("new/a", "x"); }},
        {"links",
         [](TreeCliTest& t) {
             t.put("old/a", "x"), t.put("new/a", "x");
             t.link("a", "old/l1"), t.link("a", "new/l1");
             t.link("a", "old/l2"), t.link("../a", "new/l2");
             t.link("/etc/passwd", "old/gone"), t.link("nowhere", "new/dangling");
         }},
        {"kind changes",
         [](TreeCliTest& t) {
             t.put("old/f2d", "file"), t.put("new/f2d/inner", "now a directory");
             t.put("old/d2f/inner", "directory"), t.put("new/d2f", "now a file");
             t.put("old/f2l", "file"), t.link("f2d", "new/f2l");
         }},
        {"mode and time alone",
         [](TreeCliTest& t) {
             t.put("old/m", "same"), t.put("new/m", "same");
             chmod(t.path("new/m").c_str(), 0750);
             t.put("old/t", "same", 1600000000), t.put("new/t", "same", 1600000001);
             for (int i = 0; i < 5; ++i)
                 t.put("old/pkg/" + std::to_string(i), "p", 1500000000),
                     t.put("new/pkg/" + std::to_string(i), "p", 1500000099);
             fs::create_directories(t.path("old/ro")), fs::create_directories(t.path("new/ro"));
             chmod(t.path("new/ro").c_str(), 0555);
         }},
        {"a file moved",
         [](TreeCliTest& t) {
             const std::string body = pseudoRandom(200000, 7);
             t.put("old/x/big", body), t.put("new/y/big.moved", body + "tail");
         }},
        {"nothing changed", [](TreeCliTest& t) { t.put("old/a", "x"), t.put("new/a", "x"); }},
    };
    for (const Shape& shape : shapes)
        for (const char* options : {"", "-W -Z"}) {
            SCOPED_TRACE(std::string(shape.name) + " " + options);
            runShell("chmod -R u+w old new t 2>/dev/null; rm -rf old new t d.zep");
            fs::create_directories(path("old")), fs::create_directories(path("new"));
            shape.build(*this);
            const ToolRun create = runShell(std::string("$ZEP -R ") + options + " old new d.zep");
            ASSERT_EQ(create.status, 0) << create.err;
            // Hard links into old/: what lies outside the tree never changes.
            const std::string old = state("old");
            ASSERT_EQ(runShell("cp -al old t").status, 0);
            const ToolRun apply = runTool({"-R", "d.zep", "t"});
            ASSERT_EQ(apply.status, 0) << apply.err;
            EXPECT_EQ(state("t"), state("new"));
            EXPECT_EQ(state("old"), old);
            EXPECT_FALSE(fs::exists(path("t/.zep-journal")));
            const ToolRun again = runTool({"-R", "d.zep", "t"});
            EXPECT_EQ(again.status, 0) << again.err;
            EXPECT_NE(again.err.find("[t] is already up to date."), std::string::npos);
            // Each apply refuses the other's records; the listing names what changes.
            EXPECT_EQ(runTool({"d.zep"}).status, 8);
            EXPECT_EQ(runTool({"-V", "d.zep"}).status, 0);
        }
}

TEST_F(TreeCliTest, HostileTreesAreRefusedWithNothingChanged)
{
    put("old/d/f", "old f"), put("old/gone/x", "x"), put("old/g", "old g");
    put("new/d/f", "new f"), put("new/g", "new g");
    ASSERT_EQ(runTool({"-R", "old", "new", "d.zep"}).status, 0);
    put("outside/f", "old f");
    const std::vector<std::pair<const char*, std::function<void()>>> spoilers = {
        {"directory replaced by a link out",
         [&] { fs::remove_all(path("t/d")), link(path("outside"), "t/d"); }},
        {"a FIFO in the place of a file",
         [&] { fs::remove(path("t/g")), mkfifo(path("t/g").c_str(), 0600); }},
        {"a file the record does not know in a directory it removes",
         [&] { put("t/gone/mine", "keep me"); }},
        {"a file where a directory was", [&] { fs::remove_all(path("t/d")), put("t/d", "f"); }},
        {"a link at a file's place", [&] { fs::remove(path("t/g")), link("d/f", "t/g"); }},
        {"a journal that another user put there",
         [&] {
             put("t/.zep-journal", "zep tree journal 1\n");
             chown(path("t/.zep-journal").c_str(), 65534, 65534);
         }},
        {"a file of the right time but another content",
         [&] { put("t/g", "OLD G"), setModified("t/g", 1700000000); }},
    };
    for (const auto& [name, spoil] : spoilers) {
        SCOPED_TRACE(name);
        runShell("rm -rf t");
        copyTree("old", "t");
        spoil();
        const std::string before = state("t");
        const std::string outside = state("outside");
        const ToolRun apply = runTool({"-R", "d.zep", "t"});
        EXPECT_NE(apply.status, 0);
        EXPECT_EQ(state("t"), before);
        EXPECT_EQ(state("outside"), outside);
        for (const std::string& entry : listDirectory("t"))
            EXPECT_TRUE(entry.rfind(".zep-stage-", 0) != 0 && entry.rfind(".zep-backup-", 0) != 0)
                << entry;
    }
    // A copy that gave every file a new time is taken by its content with -T alone.
    runShell("rm -rf t; cp -r old t");
    EXPECT_NE(runTool({"-R", "d.zep", "t"}).err.find("time comparison error."), std::string::npos);
    EXPECT_EQ(runTool({"-R", "-T", "d.zep", "t"}).status, 0);
    EXPECT_EQ(readFile("t/g"), "new g");
    // Trees and single files never share a difference file.
    put("a", "a"), put("b", "b");
    EXPECT_EQ(runTool({"a", "b", "d.zep"}).status, 11);
    ASSERT_EQ(runTool({"a", "b", "f.zep"}).status, 0);
    EXPECT_EQ(runTool({"-R", "old", "new", "f.zep"}).status, 11);
    EXPECT_EQ(runTool({"-R", "f.zep", "t"}).status, 8);
}

TEST_F(TreeCliTest, AStoppedApplyEndsInTheOldTreeOrTheNewOne)
{
    for (int i = 0; i < 12; ++i) {
        const std::string n = std::to_string(i);
        put("old/keep/" + n, "unchanged " + n);
        put("new/keep/" + n, "unchanged " + n);
        put("old/change/" + n, pseudoRandom(3000, i) + "old");
        put("new/change/" + n, pseudoRandom(3000, i) + "new");
        put("old/gone/" + n, "removed " + n);
        put("new/added/deep/" + n, "added " + n);
    }
    put("old/kind", "file"), put("new/kind/inner", "directory");
    link("keep/0", "old/l"), link("keep/1", "new/l");
    ASSERT_EQ(runTool({"-R", "old", "new", "d.zep"}).status, 0);
    const std::string oldState = state("old");
    const std::string newState = state("new");
    // The apply makes, moves and removes names in the tree; it is stopped after some of them.
    const auto startWatched = [&](int& watch) {
        runShell("rm -rf t");
        copyTree("old", "t");
        watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        for (const char* directory : {"t", "t/change", "t/gone", "t/keep"})
            inotify_add_watch(watch, path(directory).c_str(),
                              IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE);
        return start({ZEP_BINARY, "-R", "d.zep", "t"}, {});
    };
    alignas(inotify_event) char buffer[1 << 12];
    const auto countEvents = [&](int watch, bool wait) {
        pollfd ready = {watch, POLLIN, 0};
        if (wait && poll(&ready, 1, 20000) != 1)
            return 0;
        int events = 0;
        for (ssize_t got; (got = read(watch, buffer, sizeof buffer)) > 0;)
            for (ssize_t at = 0; at < got; ++events)
                at +=
                    static_cast<ssize_t>(sizeof(inotify_event) +
                                         reinterpret_cast<const inotify_event*>(buffer + at)->len);
        return events;
    };
    int watch = -1;
    pid_t child = startWatched(watch);
    ASSERT_EQ(finish(child).status, 0);
    const int total = countEvents(watch, false);
    close(watch);
    ASSERT_GT(total, 30);
    std::mt19937 pick(25);
    for (int round = 0; round < 40; ++round) {
        const int signal = round % 2 == 0 ? SIGKILL : SIGTERM;
        SCOPED_TRACE(std::to_string(round) + (signal == SIGKILL ? " kill" : " term"));
        child = startWatched(watch);
        for (int events = 1 + static_cast<int>(pick() % total); events > 0;) {
            const int seen = countEvents(watch, true);
            ASSERT_GT(seen, 0);
            events -= seen;
        }
        kill(child, signal);
        const ToolRun stopped = finish(child);
        close(watch);
        const std::string now = state("t");
        if (signal == SIGTERM) {
            // Cleaned up either way: before the journal the old tree, after it the new one.
            EXPECT_TRUE(stopped.status == 0 || stopped.status == 128 + SIGTERM) << stopped.err;
            EXPECT_TRUE(now == oldState || now == newState);
            for (const std::string& entry : listDirectory("t"))
                EXPECT_EQ(entry.rfind(".zep-backup-", 0) == 0 || entry[0] != '.', true) << entry;
        } else if (!fs::exists(path("t/.zep-journal"))) {
            // Without a journal no move was made, or all were; a staging directory may stay.
            std::string withoutStage;
            std::istringstream lines(now);
            for (std::string line; std::getline(lines, line);)
                if (line.rfind(".zep-stage-", 0) != 0)
                    withoutStage += line + "\n";
            EXPECT_TRUE(withoutStage == oldState || withoutStage == newState) << withoutStage;
        }
        // One more run always ends in the new tree, with nothing of the apply's work left.
        const ToolRun next = runTool({"-R", "d.zep", "t"});
        ASSERT_EQ(next.status, 0) << next.err;
        EXPECT_EQ(state("t"), newState);
    }
}

TEST_F(TreeCliTest, AFullDiskDuringAnApplyLeavesTheOldTree)
{
    for (int i = 0; i < 20; ++i) {
        put("old/f" + std::to_string(i), pseudoRandom(4000, i));
        put("new/f" + std::to_string(i), pseudoRandom(9000, i + 100));
    }
    ASSERT_EQ(runTool({"-R", "old", "new", "d.zep"}).status, 0);
    const std::string oldState = state("old");
    fs::create_directories(path("small"));
    if (mount("tmpfs", path("small").c_str(), "tmpfs", 0, "size=512k") != 0)
        GTEST_SKIP() << "no tmpfs can be mounted here";
    // The disk fills at another moment of the staging in each round.
    for (int filler = 0; filler < 256; filler += 16) {
        SCOPED_TRACE(filler);
        runShell("rm -rf small/t small/filler");
        copyTree("old", "small/t");
        writeFile("small/filler", std::string(static_cast<size_t>(filler) * 1024, 'x'));
        const ToolRun apply = runTool({"-R", "d.zep", "small/t"});
        if (apply.status == 0) {
            EXPECT_EQ(state("small/t"), state("new"));
            continue;
        }
        EXPECT_TRUE(apply.status == 4 || apply.status == 9) << apply.err;
        EXPECT_EQ(state("small/t"), oldState);
    }
    umount(path("small").c_str());
}
