// Writes a sample disk image with recognisable content: every 4 KiB block begins with a line
// naming the block, followed by bytes derived from its number. Every eighth MiB is left as
// zeros, so that a recall service meets all-zero extents too.
//
//   tqblk-make-image FILE MIB
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3 || std::atoi(argv[2]) <= 0) {
        std::fprintf(stderr, "usage: tqblk-make-image FILE MIB\n");
        return 2;
    }
    const long long mib = std::atoll(argv[2]);
    int fd = ::open(argv[1], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    const size_t blockSize = 4096, blocksPerMiB = 256;
    std::vector<char> buffer(blockSize * blocksPerMiB);
    for (long long m = 0; m < mib; ++m) {
        if (m % 8 == 7) {
            std::fill(buffer.begin(), buffer.end(), 0);
        } else {
            for (size_t b = 0; b < blocksPerMiB; ++b) {
                char* block = buffer.data() + b * blockSize;
                unsigned long long number = static_cast<unsigned long long>(m) * blocksPerMiB + b;
                int n =
                    std::snprintf(block, blockSize, "block %llu of the tqblk demo image\n", number);
                for (size_t i = static_cast<size_t>(n); i < blockSize; ++i)
                    block[i] = static_cast<char>((number * 131 + i * 7) & 0xff);
            }
        }
        for (size_t done = 0; done < buffer.size();) {
            ssize_t w = ::write(fd, buffer.data() + done, buffer.size() - done);
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0) {
                std::perror(argv[1]);
                ::close(fd);
                return 1;
            }
            done += static_cast<size_t>(w);
        }
    }
    if (::close(fd) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
