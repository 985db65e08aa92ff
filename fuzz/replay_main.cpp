// SPDX-License-Identifier: Apache-2.0
// Replays fuzz inputs (files or folders of files) through a fuzz target without
// libFuzzer, so that the seed folders run as ordinary tests in every build.
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

int Replay(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    std::string bytes = s.str();
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        struct stat st;
        if (stat(argv[i], &st) != 0) {
            fprintf(stderr, "cannot read %s\n", argv[i]);
            return 1;
        }
        if (!S_ISDIR(st.st_mode)) {
            count += Replay(argv[i]);
            continue;
        }
        DIR *d = opendir(argv[i]);
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') count += Replay(std::string(argv[i]) + "/" + e->d_name);
        closedir(d);
    }
    printf("replayed %d inputs\n", count);
    return count > 0 ? 0 : 1;
}
