// A plain main for a libFuzzer target, without libFuzzer: runs every file
// named on the command line, and every file in every directory named,
// through LLVMFuzzerTestOneInput.  A mismatch aborts, as under the fuzzer;
// otherwise prints how many inputs ran.  Used where libFuzzer is not at hand
// (the cross-compiled targets of tools/cross.sh).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path p(argv[i]);
        if (std::filesystem::is_directory(p)) {
            for (const auto& entry : std::filesystem::directory_iterator(p)) {
                const std::string name = entry.path().filename().string();
                if (entry.is_regular_file() && name[0] != '.' && entry.path().extension() != ".md") {
                    files.push_back(entry.path());
                }
            }
        } else {
            files.push_back(p);
        }
    }
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
        std::ifstream in(f, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "replay: cannot read %s\n", f.string().c_str());
            return 2;
        }
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    std::printf("replay: %zu inputs\n", files.size());
    return 0;
}
