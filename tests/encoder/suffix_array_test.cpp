// The in-house suffix array against plain sorting of every suffix, over texts chosen to stress
// induced sorting: runs, periods, tiny and full alphabets, the extreme byte values.
#include "encoder/suffix_array.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <numeric>
#include <random>
#include <string>

// The library's own units, as the tests reach them.
using namespace zep;

namespace {

using Text = std::vector<uint8_t>;

std::vector<int32_t> sortedByComparison(const Text& text)
{
    std::vector<int32_t> suffixes(text.size());
    std::iota(suffixes.begin(), suffixes.end(), 0);
    std::sort(suffixes.begin(), suffixes.end(), [&](int32_t a, int32_t b) {
        const size_t lengthA = text.size() - static_cast<size_t>(a);
        const size_t lengthB = text.size() - static_cast<size_t>(b);
        const int order = std::memcmp(text.data() + a, text.data() + b, std::min(lengthA, lengthB));
        return order != 0 ? order < 0 : lengthA < lengthB;
    });
    return suffixes;
}

Text repeated(const std::string& unit, size_t size)
{
    Text text(size);
    for (size_t i = 0; i < size; ++i)
        text[i] = static_cast<uint8_t>(unit[i % unit.size()]);
    return text;
}

// Bytes drawn from `alphabet`, which may repeat a byte to make it more frequent.
Text randomText(std::mt19937& random, const Text& alphabet, size_t size)
{
    Text text(size);
    for (uint8_t& byte : text)
        byte = alphabet[random() % alphabet.size()];
    return text;
}

}  // namespace

TEST(SuffixArrayTest, OrdersSuffixesAsPlainSortingDoes)
{
    std::mt19937 random(2009);
    Text allBytes(256);
    std::iota(allBytes.begin(), allBytes.end(), uint8_t(0));
    const std::vector<Text> alphabets = {
        {'a'},   {'a', 'b'}, {0x00, 0xFF}, {0x00, 0x00, 0x00, 0x01, 0xFF}, {'a', 'b', 'c', 'd'},
        allBytes};
    std::vector<Text> texts = {{},
                               {'x'},
                               {0x00},
                               {0xFF},
                               repeated("a", 1000),
                               repeated("ab", 301),
                               repeated("aab", 600),
                               repeated("abaab", 5000),
                               repeated(std::string(1, '\0') + "\xff", 777),
                               repeated("cba", 90)};
    for (const size_t size : {5000, 5001, 4999})
        for (const Text& alphabet : alphabets)
            texts.push_back(randomText(random, alphabet, size));
    for (int round = 0; round < 1200; ++round) {
        const Text& alphabet = alphabets[static_cast<size_t>(round) % alphabets.size()];
        texts.push_back(randomText(random, alphabet, 1 + random() % 300));
    }
    // Periodic texts with a flaw make the reduced strings recurse more than once.
    for (const size_t size : {64, 333, 4096}) {
        Text text = repeated("abcab", size);
        text[random() % size] = 'c';
        texts.push_back(text);
    }
    for (const Text& text : texts)
        ASSERT_EQ(buildSuffixArray(text.data(), static_cast<uint32_t>(text.size())),
                  sortedByComparison(text))
            << "size " << text.size();
}
