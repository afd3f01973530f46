// Directory trees through -r: depth past the path-length limit, directory
// modes and times kept both ways, and the closing count of entries left out.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <dirent.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>

#include "support/program.h"

namespace qrn {
namespace {

using namespace qrn::testing;

// What a tree holds, read by directory handle (no path grows with depth):
// each relative name mapped to its content, or for a directory to its mode
// and modification time.
using TreeImage = std::map<std::string, std::string>;

void image_of(int dir, const std::string& prefix, TreeImage& image)
{
    DIR* d = fdopendir(dir);
    ASSERT_NE(d, nullptr);
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st;
        ASSERT_EQ(fstatat(dirfd(d), name.c_str(), &st, AT_SYMLINK_NOFOLLOW), 0);
        const std::string key = prefix + "/" + name;
        if (S_ISDIR(st.st_mode)) {
            // Windows keeps no directory modes, and times to 100 ns.
            const std::string when = std::to_string(st.st_mtim.tv_sec) + "." +
                                     std::to_string(WINDOWS_TARGET ? st.st_mtim.tv_nsec / 100 : st.st_mtim.tv_nsec);
            image[key] = WINDOWS_TARGET ? "dir " + when : "dir " + std::to_string(st.st_mode & 07777) + " " + when;
            image_of(openat(dirfd(d), name.c_str(), O_RDONLY | O_DIRECTORY), key, image);
        } else {
            const int fd = openat(dirfd(d), name.c_str(), O_RDONLY);
            std::string content(static_cast<size_t>(st.st_size), '\0');
            EXPECT_EQ(read(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
            close(fd);
            image[key] = content;
        }
    }
    closedir(d);
}

TreeImage image_of(const fs::path& root)
{
    TreeImage image;
    image_of(open(root.c_str(), O_RDONLY | O_DIRECTORY), "", image);
    return image;
}

// Builds `levels` nested directories of `name_length`-character names below
// `root`, each holding one file; the directories alternate between modes
// 0750 and 0700 and get old, distinct modification times once filled.
void make_deep_tree(const fs::path& root, int levels, size_t name_length)
{
    fs::create_directories(root);
    std::vector<int> dirs{open(root.c_str(), O_RDONLY | O_DIRECTORY)};
    for (int i = 0; i < levels; ++i) {
        const std::string name(name_length, static_cast<char>('a' + i % 26));
        ASSERT_EQ(mkdirat(dirs.back(), name.c_str(), 0700), 0);
        dirs.push_back(openat(dirs.back(), name.c_str(), O_RDONLY | O_DIRECTORY));
        const std::string data = text_bytes(3000 + 100 * static_cast<size_t>(i), static_cast<uint32_t>(i));
        const int fd = openat(dirs.back(), "file.txt", O_WRONLY | O_CREAT, 0640);
        ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
        close(fd);
    }
    for (size_t i = dirs.size(); i-- > 0;) {
        fchmod(dirs[i], i % 2 ? 0750 : 0700);
        const timespec times[2] = {{1000000000 + static_cast<time_t>(i), 0}, {1200000000 + static_cast<time_t>(i), 123456789}};
        futimens(dirs[i], times);
        close(dirs[i]);
    }
}

TEST(Tree, DeepTreesKeepContentModesAndTimesBothWays)
{
    // 25 levels of 200-character names: about 5000 bytes of path, past the
    // 4096 the system takes in one path. A Windows program under Wine reaches
    // files through whole paths that Linux then takes in one call, so there
    // the names are short.
    for (const char* threads : {"-p0", "-p2"}) {
        ScratchDir d;
        make_deep_tree(d / "src", 25, WINDOWS_TARGET ? 8 : 200);
        const TreeImage source = image_of(d / "src");
        ASSERT_EQ(source.size(), 50u);

        RunResult c = run_quarnix(d.path, std::string("-11 -r ") + threads + " src packed");
        ASSERT_EQ(c.status, 0) << c.err;
        EXPECT_EQ(c.err, "");
        // The compressed tree has the source's directories, modes and times
        // and one container per file.
        const TreeImage packed = image_of(d / "packed/src");
        for (const auto& [name, what] : packed)
            EXPECT_TRUE(what.rfind("dir ", 0) == 0 || name.ends_with(".qrn")) << name;
        for (const auto& [name, what] : source) {
            if (what.rfind("dir ", 0) == 0) {
                EXPECT_EQ(packed.contains(name) ? packed.at(name) : std::string(), what) << name;
            }
        }

        RunResult t = run_quarnix(d.path, "--test -r packed");
        EXPECT_EQ(t.status, 0) << t.err;
        RunResult x = run_quarnix(d.path, std::string("-d -r ") + threads + " packed/src back");
        ASSERT_EQ(x.status, 0) << x.err;
        EXPECT_TRUE(image_of(d / "back/src") == source) << threads;
    }
}

void make_socket(const fs::path& p)
{
    const int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    ASSERT_LT(p.string().size(), sizeof a.sun_path);
    std::strcpy(a.sun_path, p.c_str());
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    close(s);
}

// `levels` nested directories named d below `root`.
fs::path nested(fs::path root, int levels)
{
    for (int i = 0; i < levels; ++i)
        root /= "d";
    return root;
}

// Entries a walk leaves out, counted in one closing line, and files it fails.
TEST(Tree, EntriesLeftOutAreCountedInOneClosingLine)
{
    const struct {
        const char* what;
        std::function<void(const fs::path&)> add;   // adds to the tree t
        const char* args;
        std::string err;
        int status = 0;
        fs::path made = "", absent = "";            // in the output
        bool not_under_wine = false;   // links, FIFOs, sockets (none reach a Windows program), a name over the limit
    } cases[] = {
        {"nothing left out", [](const fs::path&) {}, "-11 -r t out", ""},
        {"one link", [](const fs::path& t) { fs::create_symlink("a.txt", t / "l1"); }, "-11 -r t out",
         "quarnix: left out 1 symbolic link\n", 0, "", "", true},
        {"links and a FIFO, deeper down",
         [](const fs::path& t) {
             fs::create_directories(t / "sub");
             fs::create_symlink("../a.txt", t / "sub/l1");
             fs::create_directory_symlink("sub", t / "l2");
             ASSERT_EQ(mkfifo((t / "sub/fifo").c_str(), 0600), 0);
         },
         "-11 -r t out", "quarnix: left out 2 symbolic links, 1 FIFO\n", 0, "", "", true},
        {"a socket", [](const fs::path& t) { make_socket(t / "s"); }, "-11 -r t out", "quarnix: left out 1 socket\n", 0,
         "", "", true},
        // t and 99 levels below it are entered; the 100th is created but not entered.
        {"directories past 100 levels",
         [](const fs::path& t) {
             fs::create_directories(nested(t, 103));
             write_file(nested(t, 103) / "leaf", "deep");
         },
         "-11 -r t out", "quarnix: left out 1 directory past 100 levels\n", 0, nested("out/t", 100),
         nested("out/t", 101)},
        {"a container", [](const fs::path& t) { write_file(t / "b.qrn", "x"); }, "-11 -r t out",
         "quarnix: left out 1 .qrn file\n"},
        // 252 characters: the name is valid, its container's name is not.
        {"a name too long", [](const fs::path& t) { write_file(t / std::string(252, 'n'), "x"); }, "-11 -r t out",
         "creat error 'out/t/" + std::string(252, 'n') + ".qrn' 'File name too long'\n", 1, "out/t/a.txt.qrn", "",
         true},
        // A FIFO named on the command line is not read, and said so.
        {"a FIFO named", [](const fs::path& t) { ASSERT_EQ(mkfifo((t / "f").c_str(), 0600), 0); }, "-11 t/f out",
         "quarnix: t/f: not a regular file: left out\n", 1, "", "", true},
        {"--quiet", [](const fs::path& t) { fs::create_symlink("a.txt", t / "l1"); }, "--quiet -11 -r t out", "", 0, "",
         "", true},
        // Restoring a compressed tree t (packed/t).
        {"restoring", [](const fs::path& t) { fs::create_symlink("a.txt.qrn", t / "l1"); }, "-d -r packed/t out",
         "quarnix: left out 1 symbolic link\n", 0, "", "", true},
        // A file that is no container is reported, and the walk goes on.
        {"restoring a stray file",
         [](const fs::path& t) { write_file(t / "sub/stray.txt", "longer than a header but no container"); },
         "-d -r packed/t out", "'packed/t/sub/stray.txt' not qrn file\n", 1, "out/t/a.txt"},
    };
    for (const auto& c : cases) {
        if (WINDOWS_TARGET && c.not_under_wine)
            continue;
        ScratchDir d;
        write_file(d / "t/a.txt", "alpha");
        const bool restoring = std::string(c.args).find("-d") != std::string::npos;
        if (restoring) {
            ASSERT_EQ(run_quarnix(d.path, "-11 -r t packed").status, 0);
        }
        c.add(d / (restoring ? "packed/t" : "t"));
        RunResult r = run_quarnix(d.path, c.args);
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(r.err, shown(c.err)) << c.what;
        EXPECT_TRUE(c.made.empty() || fs::exists(d.path / c.made)) << c.what;
        EXPECT_TRUE(c.absent.empty() || !fs::exists(d.path / c.absent)) << c.what;
    }
}

} // namespace
} // namespace qrn
