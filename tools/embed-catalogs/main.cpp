// embed-catalogs PROGRAM DIR
//
// Appends every .mo file under DIR to PROGRAM, followed by the chain of
// entries that names them, and writes the chain's position into PROGRAM's
// 44-byte marker, so that the program finds its catalogs inside itself. Each
// catalog is named by its path relative to DIR's parent, as the program looks
// for it (DIR is normally the locale directory beside the program):
// locale/pl/LC_MESSAGES/cport.mo.
//
// PROGRAM is replaced in one rename, so on any refusal or failure it is left
// exactly as it was.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {
// Built from pieces so that this tool's own file carries no marker.
const std::string kGuid = std::string("6637DB2E-62E1") + "-4A60-AC19-" + "C23867046A89";
constexpr std::size_t kMarkerSize = 44;
// The program rejects chain positions from here on.
constexpr uint64_t kPositionLimit = uint64_t(1) << 31;

struct TError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw TError("cannot read " + path.string() + ": " + std::strerror(errno));
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        throw TError("cannot read " + path.string());
    return data;
}

void PutLittleEndian64(std::string& data, std::size_t pos, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        data[pos + i] = char(v >> (8 * i) & 0xFF);
}

void AppendLittleEndian64(std::string& data, uint64_t v) {
    data.append(8, '\0');
    PutLittleEndian64(data, data.size() - 8, v);
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

std::size_t FindMarker(const std::string& program, const fs::path& path) {
    std::vector<std::size_t> found;
    for (std::size_t pos = program.find(kGuid); pos != std::string::npos;
         pos = program.find(kGuid, pos + 1))
        found.push_back(pos);
    if (found.empty())
        throw TError(path.string() + " has no catalog marker; is it a program of this project?");
    if (found.size() > 1)
        throw TError(path.string() + " has " + std::to_string(found.size()) +
                     " catalog markers; cannot tell which one the program reads");
    const std::size_t marker = found.front();
    if (marker + kMarkerSize > program.size())
        throw TError(path.string() + " ends inside its catalog marker");
    for (std::size_t i = kGuid.size(); i < kMarkerSize; ++i)
        if (program[marker + i] != 0)
            throw TError(path.string() + " already has stored catalogs");
    return marker;
}

struct TCatalog {
    std::string Name;
    fs::path Path;
};

std::vector<TCatalog> CollectCatalogs(const fs::path& dir) {
    if (!fs::is_directory(dir))
        throw TError(dir.string() + " is not a directory");
    const fs::path base = fs::absolute(dir).lexically_normal().parent_path();
    std::vector<TCatalog> catalogs;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file() && entry.path().extension() == ".mo") {
            const fs::path abs = fs::absolute(entry.path()).lexically_normal();
            catalogs.push_back({abs.lexically_relative(base).generic_string(), entry.path()});
        }
    }
    if (catalogs.empty())
        throw TError("no .mo files under " + dir.string());
    std::sort(catalogs.begin(), catalogs.end(),
              [](const TCatalog& a, const TCatalog& b) { return a.Name < b.Name; });
    // The program compares names without regard to letter case and stops
    // reading at a name it already has.
    std::set<std::string> seen;
    for (const TCatalog& c : catalogs)
        if (!seen.insert(Lower(c.Name)).second)
            throw TError("two catalogs differ only in letter case: " + c.Name);
    return catalogs;
}

void Pad(std::string& data, std::size_t alignment) {
    data.append((alignment - data.size() % alignment) % alignment, '\0');
}

void WriteReplacing(const fs::path& path, const std::string& data) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        throw TError("cannot stat " + path.string() + ": " + std::strerror(errno));
    std::string tmpl = path.string() + ".embed-XXXXXX";
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0)
        throw TError("cannot create a file beside " + path.string() + ": " + std::strerror(errno));
    const auto fail = [&](const char* what) {
        const int err = errno;
        ::close(fd);
        ::unlink(tmpl.c_str());
        throw TError(std::string(what) + " " + tmpl + ": " + std::strerror(err));
    };
    for (std::size_t done = 0; done < data.size();) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("cannot write");
        }
        done += std::size_t(n);
    }
    if (::fchmod(fd, st.st_mode & 07777) != 0)
        fail("cannot set the mode of");
    if (::fsync(fd) != 0)
        fail("cannot flush");
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(tmpl.c_str());
        throw TError("cannot close " + tmpl + ": " + std::strerror(err));
    }
    if (::rename(tmpl.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmpl.c_str());
        throw TError("cannot replace " + path.string() + ": " + std::strerror(err));
    }
}

void Embed(const fs::path& programPath, const fs::path& dir) {
    std::string program = ReadFile(programPath);
    const std::size_t marker = FindMarker(program, programPath);
    const std::vector<TCatalog> catalogs = CollectCatalogs(dir);

    struct TPlaced {
        std::string Name;
        uint64_t Offset;
        uint64_t Size;
    };
    std::vector<TPlaced> placed;
    for (const TCatalog& c : catalogs) {
        Pad(program, 8);
        const std::string mo = ReadFile(c.Path);
        placed.push_back({c.Name, program.size(), mo.size()});
        program += mo;
    }
    Pad(program, 8);
    const uint64_t chain = program.size();
    for (const TPlaced& p : placed) {
        const std::size_t entry = program.size();
        AppendLittleEndian64(program, 0); // next entry, filled in below
        AppendLittleEndian64(program, p.Offset);
        AppendLittleEndian64(program, p.Size);
        program += p.Name;
        Pad(program, 8); // zero bytes: the program trims them off the name
        PutLittleEndian64(program, entry, program.size());
    }
    AppendLittleEndian64(program, 0); // end of the chain
    if (program.size() >= kPositionLimit)
        throw TError("the program with its catalogs would exceed 2 GiB, which it cannot read");
    PutLittleEndian64(program, marker + kGuid.size(), chain);
    WriteReplacing(programPath, program);
    for (const TPlaced& p : placed)
        std::printf("%s: %llu bytes\n", p.Name.c_str(), static_cast<unsigned long long>(p.Size));
}
} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr,
                     "usage: %s PROGRAM DIR\n"
                     "Stores every .mo catalog under DIR inside PROGRAM, named by its path\n"
                     "relative to DIR's parent (DIR is normally the locale directory).\n",
                     argc > 0 ? argv[0] : "embed-catalogs");
        return 2;
    }
    try {
        Embed(argv[1], argv[2]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "embed-catalogs: %s\n", e.what());
        return 1;
    }
    return 0;
}
