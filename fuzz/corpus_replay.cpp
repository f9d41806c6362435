// Replays saved fuzzer inputs through a fuzz target where there is no
// libFuzzer (gcc, MinGW under Wine), so that every configuration runs the
// seed corpus and every input that once broke something.
//
//   <target>_replay FILE-OR-FOLDER...
//
// A folder's files run in name order, so a target that keeps state from one
// input to the next sees them in the same order every time. A run that
// finds no input at all fails: replaying nothing proves nothing.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "fuzz_target.h"

namespace fs = std::filesystem;

namespace {

bool collect(const fs::path& argument, std::vector<fs::path>* inputs) {
    std::error_code error;
    if (fs::is_directory(argument, error)) {
        std::vector<fs::path> files;
        for (const fs::directory_entry& entry : fs::directory_iterator(argument, error)) {
            if (entry.is_regular_file(error)) files.push_back(entry.path());
        }
        std::sort(files.begin(), files.end());
        inputs->insert(inputs->end(), files.begin(), files.end());
        return !error;
    }
    if (fs::is_regular_file(argument, error)) {
        inputs->push_back(argument);
        return true;
    }
    return false;
}

bool replay(const fs::path& input) {
    std::ifstream file(input, std::ios::binary);
    if (!file) return false;
    const std::vector<char> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    std::printf("%s (%zu bytes)\n", input.filename().string().c_str(), bytes.size());
    std::fflush(stdout);
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        if (!collect(fs::path(argv[i]), &inputs)) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 2;
        }
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "no inputs to replay\n");
        return 2;
    }
    for (const fs::path& input : inputs) {
        if (!replay(input)) {
            std::fprintf(stderr, "cannot read %s\n", input.string().c_str());
            return 2;
        }
    }
    std::printf("replayed %zu inputs\n", inputs.size());
    return 0;
}
