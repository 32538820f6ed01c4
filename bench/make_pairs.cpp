// Writes the synthetic file pairs of the comparison benchmark into a directory:
//   near.old/near.new           64 MiB, 1% of the bytes changed at random places, and a few
//                               runs of up to 4 KiB inserted and deleted
//   unrelated.old/unrelated.new 8 MiB of unrelated random bytes
//   shift10/100/1000.old/.new   8 MiB, the new one with that many bytes inserted at the front
// Usage: zep_make_pairs DIRECTORY
#include <cstdint>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes randomBytes(size_t count, std::mt19937_64& random)
{
    Bytes bytes(count);
    for (auto& b : bytes)
        b = static_cast<uint8_t>(random());
    return bytes;
}

void save(const std::string& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    const std::string dir = argv[1];
    std::mt19937_64 random(20261208);

    const Bytes near = randomBytes(64 << 20, random);
    Bytes edited = near;
    for (size_t n = edited.size() / 100; n > 0; --n)
        edited[random() % edited.size()] += 1;
    for (int run = 0; run < 8; ++run) {
        const size_t at = random() % (edited.size() - 8192);
        const size_t length = 1 + random() % 4096;
        if (run % 2 == 0) {
            const Bytes insert = randomBytes(length, random);
            edited.insert(edited.begin() + static_cast<long>(at), insert.begin(), insert.end());
        } else {
            edited.erase(edited.begin() + static_cast<long>(at),
                         edited.begin() + static_cast<long>(at + length));
        }
    }
    save(dir + "/near.old", near);
    save(dir + "/near.new", edited);

    save(dir + "/unrelated.old", randomBytes(8 << 20, random));
    save(dir + "/unrelated.new", randomBytes(8 << 20, random));

    const Bytes base = randomBytes(8 << 20, random);
    for (const size_t shift : {10, 100, 1000}) {
        Bytes shifted = randomBytes(shift, random);
        shifted.insert(shifted.end(), base.begin(), base.end());
        save(dir + "/shift" + std::to_string(shift) + ".old", base);
        save(dir + "/shift" + std::to_string(shift) + ".new", shifted);
    }
    return 0;
}
