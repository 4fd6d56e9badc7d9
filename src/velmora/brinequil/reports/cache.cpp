#include "reports/cache.hpp"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace brinequil::core {

OSError::OSError(int err_, std::string filename_)
    : std::runtime_error(std::string(std::strerror(err_)) + ": '" + filename_ + "'"),
      err(err_),
      filename(std::move(filename_)) {}

std::string join_path(const std::string& a, const std::string& b) {
    if (!b.empty() && b.front() == '/') return b;
    if (a.empty() || a.back() == '/') return a + b;
    return a + "/" + b;
}

std::string parent_path(const std::string& path) {
    const auto i = path.rfind('/');
    if (i == std::string::npos) return "";
    std::string head = path.substr(0, i + 1);
    // Trailing separators go, unless the head is the root itself.
    if (head.find_first_not_of('/') != std::string::npos)
        while (!head.empty() && head.back() == '/') head.pop_back();
    return head;
}

std::string report_cache_dir(const std::optional<std::string>& localappdata,
                             const std::string& home) {
    const std::string base =
        (localappdata && !localappdata->empty()) ? *localappdata : join_path(home, ".cache");
    return join_path(join_path(base, "Velmora"), "elec");
}

bool path_exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

namespace {

// Length of the well-formed UTF-8 sequence starting at s[i], or 0 when there is none.
std::size_t utf8_sequence_length(std::string_view s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    if (c < 0x80) return 1;
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0)
            lo = 0xA0;  // no overlong forms
        else if (c == 0xED)
            hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0)
            lo = 0x90;  // no overlong forms
        else if (c == 0xF4)
            hi = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
    for (std::size_t k = 2; k < len; ++k)
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    return len;
}

}  // namespace

std::string drop_undecodable_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::size_t len = utf8_sequence_length(bytes, i);
        if (len == 0) {
            // The bytes of an ill-formed prefix after its lead are continuation bytes, which are
            // dropped in their turn: dropping one byte at a time drops the whole prefix.
            ++i;
            continue;
        }
        out.append(bytes.substr(i, len));
        i += len;
    }
    return out;
}

std::string universal_newlines(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out.push_back('\n');
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::string read_bytes_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw OSError(errno, path);
    std::string bytes;
    char buf[1 << 16];
    for (;;) {
        const ssize_t got = ::read(fd, buf, sizeof buf);
        if (got < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            throw OSError(err, path);
        }
        if (got == 0) break;
        bytes.append(buf, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return bytes;
}

std::string read_text_file(const std::string& path) {
    return universal_newlines(drop_undecodable_utf8(read_bytes_file(path)));
}

void make_dirs(const std::string& path) {
    if (path.empty()) return;
    // Walk down from the top, creating what is missing.
    std::size_t pos = path.find_first_not_of('/');
    while (pos != std::string::npos) {
        const std::size_t end = path.find('/', pos);
        const std::string prefix = path.substr(0, end);
        pos = (end == std::string::npos) ? end : path.find_first_not_of('/', end);
        if (::mkdir(prefix.c_str(), 0777) == 0) continue;
        const int err = errno;
        if (err == EEXIST) {
            // Something in the way above the target shows as ENOTDIR at the next level down.
            struct stat st;
            if (pos != std::string::npos) continue;
            if (::stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
        }
        throw OSError(err, prefix);
    }
}

namespace {

// A name for the temporary file that no other writer picks: pid, clock and a random draw.
std::string temporary_name(const std::string& target) {
    static thread_local std::mt19937_64 rng(
        std::random_device{}() ^
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    const std::string folder = parent_path(target);
    const std::string base =
        target.substr(target.rfind('/') == std::string::npos ? 0 : target.rfind('/') + 1);
    char tag[48];
    std::snprintf(tag, sizeof tag, ".%ld.%016llx.tmp", static_cast<long>(::getpid()),
                  static_cast<unsigned long long>(rng()));
    return join_path(folder, "." + base + tag);
}

}  // namespace

void write_file_atomic(const std::string& path, std::string_view bytes) {
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        tmp = temporary_name(path);
        // Mode 0666 before the umask: the report gets the permissions of any new file.
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && (errno != EEXIST || attempt > 16)) throw OSError(errno, path);
    }
    const auto fail = [&](int err) {
        if (fd >= 0) ::close(fd);
        ::unlink(tmp.c_str());
        throw OSError(err, path);
    };
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (put < 0) {
            if (errno == EINTR) continue;
            fail(errno);
        }
        done += static_cast<std::size_t>(put);
    }
    // On disk before it takes the report's name, so that a crash cannot leave an empty report.
    if (::fsync(fd) != 0) fail(errno);
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0) fail(errno);
    if (::rename(tmp.c_str(), path.c_str()) != 0) fail(errno);
}

}  // namespace brinequil::core
