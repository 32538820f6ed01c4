// A fresh directory for one test, removed with everything in it when the test ends.
#pragma once
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

class ScratchDirectory {
  public:
    ScratchDirectory()
    {
        char pattern[] = "/tmp/zep-test-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            throw std::runtime_error("no scratch directory");
        path_ = pattern;
    }
    ~ScratchDirectory()
    {
        std::system(("rm -rf '" + path_ + "'").c_str());
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::string& path() const
    {
        return path_;
    }
    // Writes a file in the directory and returns its full path.
    std::string file(const std::string& name, const std::string& content) const
    {
        const std::string full = path_ + "/" + name;
        std::ofstream(full, std::ios::binary) << content;
        return full;
    }
    static std::string read(const std::string& full)
    {
        std::ifstream in(full, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

  private:
    std::string path_;
};
