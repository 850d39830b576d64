// Helpers of bench/update_bench.sh (Linux only, built by the script):
//
//   benchtool make-file PATH SIZE SEED
//       one file of SIZE bytes of reproducible pseudo-random content
//   benchtool make-tree DIR COUNT PER_DIR MIN MAX SEED [DEPTH]
//       COUNT files of MIN..MAX bytes, PER_DIR to a folder; DEPTH > 0 nests the
//       folders in a chain DEPTH deep instead of side by side
//   benchtool recv PORT DIR [--unbuffered LOG]
//       the raw ceiling's receiver: accepts one connection on 127.0.0.1:PORT
//       and writes the files it carries below DIR through a 512 KiB buffer.
//       --unbuffered: the ceiling of the client's unbuffered write mode, the
//       same pattern without the client's work between the steps: each file
//       is written with O_DIRECT (where the file system takes it) in whole
//       512 KiB blocks from an aligned buffer (the last block too, past the
//       end), closed, opened again with the system cache, cut to its size
//       and given its time; then one line is appended to LOG and flushed to
//       the disk (fsync), as the client logs every file it wrote in this mode
//   benchtool send PORT DIR
//       the raw ceiling's sender: every regular file below DIR, in name order,
//       its bytes moved by sendfile
//
//   benchtool ask-serve PORT DIR
//   benchtool ask PORT DIR [OUT]
//       the floor of the update's own conversation, one request and its
//       answer per file: ask sends a 292-byte request for each regular file
//       below DIR in name order and waits for exactly that file's bytes
//       before it asks for the next; ask-serve answers each request with the
//       next file, moved by sendfile. Without OUT the bytes are dropped (the
//       conversation and the server's reads alone); with OUT each file is
//       also created below OUT, written, given its time and closed. ask
//       prints the seconds and files per second
//
// The raw stream is: per file a 16-byte header (name length, 32-bit; size,
// 64-bit; mtime seconds, 32-bit), the name and the bytes; a zero name length
// ends it, and the receiver answers one byte when everything is written.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr size_t kChunk = 512 * 1024;

[[noreturn]] void Die(const std::string& what)
{
    std::fprintf(stderr, "benchtool: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

uint64_t Next(uint64_t& state)
{
    // xorshift64*: fast, reproducible, incompressible enough for a copy test.
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 2685821657736338717ull;
}

void MakeFile(const fs::path& path, uint64_t size, uint64_t seed)
{
    fs::create_directories(path.parent_path());
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        Die("create " + path.string());
    uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
    static std::vector<uint64_t> block(kChunk / 8);
    uint64_t left = size;
    while (left > 0) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(left, kChunk));
        // Only the words the file takes: small files are made as fast as
        // the file system creates them.
        for (size_t word = 0; word < (n + 7) / 8; ++word)
            block[word] = Next(state);
        if (write(fd, block.data(), n) != static_cast<ssize_t>(n))
            Die("write " + path.string());
        left -= n;
    }
    close(fd);
}

void MakeTree(const fs::path& dir, uint64_t count, uint64_t perDir, uint64_t minSize, uint64_t maxSize, uint64_t seed,
              uint64_t depth)
{
    uint64_t state = seed * 0x9E3779B97F4A7C15ull + 7;
    fs::path folder = dir;
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t group = i / perDir;
        if (i % perDir == 0) {
            char name[32];
            std::snprintf(name, sizeof name, "d%03llu", static_cast<unsigned long long>(group));
            folder = depth > 0 ? (group % depth == 0 ? dir : folder) / name : dir / name;
        }
        char name[32];
        std::snprintf(name, sizeof name, "f%05llu.dat", static_cast<unsigned long long>(i));
        uint64_t size = minSize + Next(state) % (maxSize - minSize + 1);
        MakeFile(folder / name, size, seed + i + 1);
    }
}

int Listen(uint16_t port)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 1) != 0)
        Die("listen");
    return listener;
}

int Connect(uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // The receiver may still be starting: try for a few seconds.
    for (int attempt = 0; attempt < 100; ++attempt) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            return fd;
        close(fd);
        usleep(50000);
    }
    Die("connect");
}

void ReadExactly(int fd, void* buffer, size_t length)
{
    auto* bytes = static_cast<char*>(buffer);
    while (length > 0) {
        ssize_t n = recv(fd, bytes, length, 0);
        if (n <= 0)
            Die("receive");
        bytes += n;
        length -= static_cast<size_t>(n);
    }
}

void WriteExactly(int fd, const void* buffer, size_t length)
{
    auto* bytes = static_cast<const char*>(buffer);
    while (length > 0) {
        ssize_t n = write(fd, bytes, length);
        if (n <= 0)
            Die("write");
        bytes += n;
        length -= static_cast<size_t>(n);
    }
}

struct Header {
    uint32_t nameLength;
    uint32_t mtimeSeconds;
    uint64_t size;
};
static_assert(sizeof(Header) == 16);

void SetTime(int out, const Header& header)
{
    timespec times[2] = {{header.mtimeSeconds, 0}, {header.mtimeSeconds, 0}};
    futimens(out, times);
}

// Through the system cache: plain writes of what arrives, then the time.
void ReceiveBuffered(int fd, const fs::path& path, const Header& header, char* buffer)
{
    int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0)
        Die("create " + path.string());
    uint64_t left = header.size;
    while (left > 0) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(left, kChunk));
        ReadExactly(fd, buffer, n);
        WriteExactly(out, buffer, n);
        left -= n;
    }
    SetTime(out, header);
    close(out);
}

// Around the system cache: whole aligned 512 KiB blocks with O_DIRECT, then
// a second open with the cache to cut the last block back and set the time
// (an empty file only gets its time). `log` gets one line, flushed to disk.
void ReceiveUnbuffered(int fd, const fs::path& path, const Header& header, char* alignedBuffer, int log)
{
    int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_DIRECT, 0644);
    // A file system without O_DIRECT (tmpfs): through the cache, as the
    // client's Win32 layer does there too.
    if (out < 0 && errno == EINVAL)
        out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0)
        Die("create " + path.string());
    for (uint64_t left = header.size; left > 0;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(left, kChunk));
        ReadExactly(fd, alignedBuffer, n);
        WriteExactly(out, alignedBuffer, kChunk);
        left -= n;
    }
    if (header.size > 0) {
        close(out);
        out = open(path.c_str(), O_WRONLY);
        if (out < 0 || ftruncate(out, static_cast<off_t>(header.size)) != 0)
            Die("cut " + path.string());
    }
    SetTime(out, header);
    close(out);
    char line[512];
    int length = std::snprintf(line, sizeof line, "wrote %s (%" PRIu64 ")\r\n", path.c_str(), header.size);
    WriteExactly(log, line, static_cast<size_t>(std::min<int>(length, sizeof line - 1)));
    if (fsync(log) != 0)
        Die("flush the log");
}

// `unbufferedLog` empty: through the system cache.
void Receive(uint16_t port, const fs::path& dir, const fs::path& unbufferedLog)
{
    int log = -1;
    if (!unbufferedLog.empty()) {
        log = open(unbufferedLog.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (log < 0)
            Die("open " + unbufferedLog.string());
    }
    int listener = Listen(port);
    std::printf("ready\n");
    std::fflush(stdout);
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0)
        Die("accept");
    // Page-aligned, as O_DIRECT needs and as the client's buffer is.
    void* memory = nullptr;
    if (posix_memalign(&memory, 4096, kChunk) != 0)
        Die("allocate the buffer");
    char* buffer = static_cast<char*>(memory);
    fs::path lastFolder;
    for (;;) {
        Header header{};
        ReadExactly(fd, &header, sizeof header);
        if (header.nameLength == 0)
            break;
        std::string name(header.nameLength, '\0');
        ReadExactly(fd, name.data(), name.size());
        fs::path path = dir / name;
        if (path.parent_path() != lastFolder) {
            fs::create_directories(path.parent_path());
            lastFolder = path.parent_path();
        }
        if (log >= 0)
            ReceiveUnbuffered(fd, path, header, buffer, log);
        else
            ReceiveBuffered(fd, path, header, buffer);
    }
    std::free(memory);
    if (log >= 0)
        close(log);
    char done = 1;
    send(fd, &done, 1, 0);
    close(fd);
    close(listener);
}

std::vector<fs::path> RegularFilesInNameOrder(const fs::path& dir)
{
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        if (entry.is_regular_file() && !entry.is_symlink())
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

// Sends the whole of `in` (of `size` bytes) on `fd`.
void SendWholeFile(int fd, int in, uint64_t size, const fs::path& file)
{
    off_t offset = 0;
    while (static_cast<uint64_t>(offset) < size) {
        ssize_t n = sendfile(fd, in, &offset, size - static_cast<uint64_t>(offset));
        if (n <= 0)
            Die("sendfile " + file.string());
    }
}

void Send(uint16_t port, const fs::path& dir)
{
    std::vector<fs::path> files = RegularFilesInNameOrder(dir);
    int fd = Connect(port);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    for (const fs::path& file : files) {
        int in = open(file.c_str(), O_RDONLY);
        struct stat status { };
        if (in < 0 || fstat(in, &status) != 0)
            Die("open " + file.string());
        std::string name = fs::relative(file, dir).string();
        Header header{static_cast<uint32_t>(name.size()), static_cast<uint32_t>(status.st_mtime),
                      static_cast<uint64_t>(status.st_size)};
        WriteExactly(fd, &header, sizeof header);
        WriteExactly(fd, name.data(), name.size());
        SendWholeFile(fd, in, header.size, file);
        close(in);
    }
    Header end{};
    WriteExactly(fd, &end, sizeof end);
    char done = 0;
    ReadExactly(fd, &done, 1);
    close(fd);
}

constexpr size_t kRequestBytes = 292; // the size of the update's file request

void AskServe(uint16_t port, const fs::path& dir)
{
    std::vector<fs::path> files = RegularFilesInNameOrder(dir);
    int listener = Listen(port);
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0)
        Die("accept");
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char request[kRequestBytes];
    for (const fs::path& file : files) {
        ReadExactly(fd, request, sizeof request);
        int in = open(file.c_str(), O_RDONLY);
        struct stat status { };
        if (in < 0 || fstat(in, &status) != 0)
            Die("open " + file.string());
        SendWholeFile(fd, in, static_cast<uint64_t>(status.st_size), file);
        close(in);
    }
    close(fd);
    close(listener);
}

void Ask(uint16_t port, const fs::path& dir, const fs::path& out)
{
    std::vector<fs::path> files = RegularFilesInNameOrder(dir);
    std::vector<uint64_t> sizes;
    for (const fs::path& file : files)
        sizes.push_back(fs::file_size(file));
    std::vector<char> buffer(kChunk);
    int fd = Connect(port);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timespec started{};
    clock_gettime(CLOCK_MONOTONIC, &started);
    char request[kRequestBytes] = {};
    fs::path lastFolder;
    for (size_t i = 0; i < files.size(); ++i) {
        int target = -1;
        if (!out.empty()) {
            fs::path path = out / fs::relative(files[i], dir);
            if (path.parent_path() != lastFolder) {
                fs::create_directories(path.parent_path());
                lastFolder = path.parent_path();
            }
            target = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (target < 0)
                Die("create " + path.string());
        }
        WriteExactly(fd, request, sizeof request);
        for (uint64_t left = sizes[i]; left > 0;) {
            size_t length = static_cast<size_t>(std::min<uint64_t>(left, kChunk));
            ReadExactly(fd, buffer.data(), length);
            if (target >= 0)
                WriteExactly(target, buffer.data(), length);
            left -= length;
        }
        if (target >= 0) {
            timespec times[2] = {{0, UTIME_OMIT}, {1600000000, 0}};
            if (futimens(target, times) != 0 || close(target) != 0)
                Die("finish " + files[i].string());
        }
    }
    timespec ended{};
    clock_gettime(CLOCK_MONOTONIC, &ended);
    close(fd);
    double seconds = double(ended.tv_sec - started.tv_sec) + double(ended.tv_nsec - started.tv_nsec) / 1e9;
    std::printf("%zu files in %.3f s: %.0f files/s\n", files.size(), seconds, double(files.size()) / seconds);
}

uint64_t Number(const char* text)
{
    return std::strtoull(text, nullptr, 10);
}

} // namespace

int main(int argc, char** argv)
{
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "make-file" && argc == 5) {
        MakeFile(argv[2], Number(argv[3]), Number(argv[4]));
    } else if (command == "make-tree" && (argc == 8 || argc == 9)) {
        MakeTree(argv[2], Number(argv[3]), Number(argv[4]), Number(argv[5]), Number(argv[6]), Number(argv[7]),
                 argc == 9 ? Number(argv[8]) : 0);
    } else if (command == "recv" && argc == 4) {
        Receive(static_cast<uint16_t>(Number(argv[2])), argv[3], {});
    } else if (command == "recv" && argc == 6 && std::string(argv[4]) == "--unbuffered") {
        Receive(static_cast<uint16_t>(Number(argv[2])), argv[3], argv[5]);
    } else if (command == "send" && argc == 4) {
        Send(static_cast<uint16_t>(Number(argv[2])), argv[3]);
    } else if (command == "ask-serve" && argc == 4) {
        AskServe(static_cast<uint16_t>(Number(argv[2])), argv[3]);
    } else if (command == "ask" && (argc == 4 || argc == 5)) {
        Ask(static_cast<uint16_t>(Number(argv[2])), argv[3], argc == 5 ? argv[4] : "");
    } else {
        std::fprintf(stderr, "usage: see the comment at the top of bench/benchtool.cpp\n");
        return 2;
    }
    return 0;
}
