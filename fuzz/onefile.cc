// Replays fuzz inputs through a target's entry point without libFuzzer, so
// that the corpora run in the normal (g++) build and under its sanitizers.
// Arguments: files, or directories whose regular files are replayed in name
// order. Any failed check aborts, like the fuzzer would.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

int replay_file(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) {
        perror(path.c_str());
        return -1;
    }
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + n);
    bool bad = ferror(f);
    fclose(f);
    if (bad) {
        fprintf(stderr, "Cannot read %s\n", path.c_str());
        return -1;
    }
    // A copy of exactly the input's size, so that reads past the end are
    // caught by ASan as they are under the fuzzer.
    auto *copy = static_cast<uint8_t *>(malloc(bytes.empty() ? 1 : bytes.size()));
    if (!copy)
        return -1;
    std::copy(bytes.begin(), bytes.end(), copy);
    LLVMFuzzerTestOneInput(copy, bytes.size());
    free(copy);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    if (argc < 2) {
        fprintf(stderr, "usage: %s FILE|DIR...\n", argv[0]);
        return 2;
    }
    int replayed = 0;
    for (int i = 1; i < argc; i++) {
        struct stat st;
        if (stat(argv[i], &st) != 0) {
            perror(argv[i]);
            return 1;
        }
        std::vector<std::string> files;
        if (S_ISDIR(st.st_mode)) {
            DIR *dir = opendir(argv[i]);
            if (!dir) {
                perror(argv[i]);
                return 1;
            }
            while (dirent *e = readdir(dir)) {
                std::string path = std::string(argv[i]) + "/" + e->d_name;
                if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
                    files.push_back(path);
            }
            closedir(dir);
            std::sort(files.begin(), files.end());
        } else {
            files.push_back(argv[i]);
        }
        for (const std::string &path : files) {
            if (replay_file(path) < 0)
                return 1;
            replayed++;
        }
    }
    // An empty corpus would make the replay test pass without testing.
    if (replayed == 0) {
        fprintf(stderr, "no inputs replayed\n");
        return 1;
    }
    printf("%d inputs replayed\n", replayed);
    return 0;
}
