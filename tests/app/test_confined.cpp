// The launcher that confines the metadata tool (gw_confined), run as the program runs it and on a
// kernel that refuses it Landlock, or Landlock and namespaces both.

#include "AppTestSupport.h"

#include "app/Exif.h"
#include "support/TestFileSystem.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <map>
#include <set>

namespace {

/// What the kernel refuses the launcher, as one without it would.
enum class Refused { Nothing, Landlock, LandlockAndNamespaces };

/// How a run of the launcher ended, and what it and its program wrote.
struct Launched {
    int status = -1;
    std::string out, err;
};

std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0;)
        if (n > 0)
            text.append(buffer, size_t(n));
        else if (errno != EINTR)
            break;
    return text;
}

/// The launcher, as the program finds it.
std::string launcher() {
    const QStringList command = app::Exif::confinedCommand("/usr/bin/perl", {}, 1, 1, {});
    return command.isEmpty() ? std::string() : command.first().toStdString();
}

/// Runs the launcher with `arguments`, the descriptors `files` (ours, its number there) and the
/// program's environment, under a filter that refuses it what `refused` says.
Launched launch(const std::vector<std::string>& arguments, Refused refused = Refused::Nothing,
                const std::vector<std::pair<int, int>>& files = {}) {
#if defined(__x86_64__)
    constexpr uint32_t arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    constexpr uint32_t arch = AUDIT_ARCH_AARCH64;
#endif
    // Landlock's first call answers as on a kernel without it; a namespace, as where none may be
    // made. Everything else is allowed.
    const uint32_t unshare = refused == Refused::LandlockAndNamespaces ? uint32_t(__NR_unshare) : ~0u;
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_landlock_create_ruleset, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, unshare, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{sizeof filter / sizeof filter[0], filter};

    std::vector<std::string> strings{launcher()};
    strings.insert(strings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& s : strings)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        for (const auto& [ours, theirs] : files)
            ::dup2(ours, theirs);
        int highest = 2;
        for (const auto& file : files)
            highest = std::max(highest, file.second);
        for (int fd = 3; fd <= highest; ++fd)
            if (std::none_of(files.begin(), files.end(), [&](const auto& file) { return file.second == fd; }))
                ::close(fd);
        ::close_range(unsigned(highest) + 1, ~0u, 0);
        if (refused != Refused::Nothing && (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
                                            ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0))
            ::_exit(99);
        ::execv(argv[0], argv.data());
        ::_exit(98);
    }
    ::close(out[1]);
    ::close(err[1]);
    Launched run;
    run.out = readAll(out[0]);
    run.err = readAll(err[0]);
    ::close(out[0]);
    ::close(err[0]);
    while (::waitpid(pid, &run.status, 0) < 0 && errno == EINTR) {
    }
    return run;
}

/// Whether a process of this user may make a user namespace: where it may not, the launcher has no file
/// system of its own to give without Landlock.
bool namespacesAllowed() {
    // Asked of a new program: a copy of this process may keep the threads of a sanitizer's
    // runtime, and a process of several threads can make no user namespace.
    return std::system("unshare --user true >/dev/null 2>&1") == 0;
}

/// A taken-over tool, in Perl, in a folder of its own: for each of its arguments it reads the file
/// or lists the folder, and prints "PATH<tab>what it found" for what it could.
QString pryingTool(const QTemporaryDir& dir) {
    const QString path = dir.filePath("prying-tool");
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(R"(#!/usr/bin/perl
for my $path (@ARGV) {
    if (opendir(my $d, $path)) {
        print "$path\t", join(',', sort grep { !/^\.\.?$/ } readdir $d), "\n";
    } elsif (open(my $f, '<', $path)) {
        local $/;
        my $bytes = <$f>;
        print "$path\t", length($bytes), " bytes\n";
    }
}
for my $name (sort keys %ENV) {
    print "Env $name\t$ENV{$name}\n";
}
)");
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

/// The lines "A<tab>B" of `text`, as a map.
std::map<std::string, std::string> reached(const std::string& text) {
    std::map<std::string, std::string> found;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = text.substr(start, end - start);
        if (const size_t tab = line.find('\t'); tab != std::string::npos)
            found[line.substr(0, tab)] = line.substr(tab + 1);
    }
    return found;
}

QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes) {
    const QString path = dir.filePath(name);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    return path;
}

} // namespace

TEST(Confined, ATakenOverToolReachesOnlyItsFilesWithOrWithoutLandlock) {
    ASSERT_FALSE(launcher().empty());
    // The user's home: a key, a photo never imported, and the photo being imported, which the tool
    // is given; the program holds the private photo open, too.
    QTemporaryDir home, tools;
    const QString key = writeFile(home, ".ssh/id_rsa", "PRIVATE KEY");
    const QString secret = writeFile(home, "Pictures/private/secret1.jpg", "PRIVATE PHOTO");
    const QString photo = home.filePath("Pictures/IMG_1.jpg");
    ASSERT_TRUE(QFile::copy(apptest::Harness::data("rocket.jpg"), photo));
    const int granted = ::open(QFile::encodeName(photo).constData(), O_RDONLY | O_CLOEXEC);
    const int held = ::open(QFile::encodeName(secret).constData(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(granted, 0);
    ASSERT_GE(held, 0);
    const std::string program = "/proc/" + std::to_string(::getpid());
    const std::vector<std::string> tries = {"/proc/self/fd/64",   key.toStdString(),
                                            secret.toStdString(), home.path().toStdString(),
                                            "/etc/passwd",        "/etc/shadow",
                                            program + "/environ", program + "/maps",
                                            program + "/fd",      program + "/fd/" + std::to_string(held),
                                            "/proc/1/environ",    "/proc"};
    std::vector<std::string> arguments = {"--memory",  std::to_string(app::Exif::kToolMemoryBytes),
                                          "--cpu",     "5",
                                          "--read-fd", "64",
                                          "--",        pryingTool(tools).toStdString()};
    arguments.insert(arguments.end(), tries.begin(), tries.end());

    for (const Refused refused : {Refused::Nothing, Refused::Landlock}) {
        SCOPED_TRACE(refused == Refused::Nothing ? "with Landlock" : "without Landlock");
        const Launched run = launch(arguments, refused, {{granted, 64}});
        if (refused == Refused::Landlock && !namespacesAllowed()) {
            // Nothing to confine it with: refused, and said.
            EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 126) << run.err;
            EXPECT_NE(run.err.find("neither Landlock nor a file system of its own"), std::string::npos)
                << run.err;
            EXPECT_EQ(run.out, "");
            continue;
        }
        ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.err;
        auto found = reached(run.out);
        std::erase_if(found, [](const auto& entry) { return entry.first.starts_with("Env "); });
        // Its own file in full; of /proc at most its own entries, which name no other process.
        EXPECT_EQ(found["/proc/self/fd/64"], std::to_string(QFileInfo(photo).size()) + " bytes");
        found.erase("/proc/self/fd/64");
        if (found.count("/proc")) {
            EXPECT_EQ(found["/proc"], "self");
            found.erase("/proc");
        }
        EXPECT_TRUE(found.empty()) << run.out;
    }
    ::close(granted);
    ::close(held);

    // With neither Landlock nor namespaces it is not run, and the launcher says why; asked
    // beforehand, it says so too, and that it can where it can.
    const Launched refused = launch(arguments, Refused::LandlockAndNamespaces, {});
    EXPECT_TRUE(WIFEXITED(refused.status) && WEXITSTATUS(refused.status) == 126) << refused.err;
    EXPECT_NE(refused.err.find("cannot be confined: neither Landlock nor a file system of its own"),
              std::string::npos)
        << refused.err;
    EXPECT_EQ(refused.out, "");
    const Launched cannot = launch({"--check"}, Refused::LandlockAndNamespaces);
    EXPECT_TRUE(WIFEXITED(cannot.status) && WEXITSTATUS(cannot.status) == 126);
    EXPECT_NE(cannot.out.find("neither Landlock nor a file system of its own"), std::string::npos)
        << cannot.out;
    const Launched can = launch({"--check"});
    EXPECT_TRUE(WIFEXITED(can.status) && WEXITSTATUS(can.status) == 0) << can.out;
    EXPECT_EQ(can.out, "");
}

TEST(Confined, TheToolIsGivenNothingOfTheSession) {
    QTemporaryDir home, tools;
    const QString photo = home.filePath("IMG_1.jpg");
    ASSERT_TRUE(QFile::copy(apptest::Harness::data("rocket.jpg"), photo));
    const std::map<QByteArray, QByteArray> session = {
        {"SECRET_TOKEN", "hunter2"},
        {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/run/user/1/bus"},
        {"SSH_AUTH_SOCK", "/run/user/1/ssh-agent"},
        {"DISPLAY", ":0"},
        {"PERL5LIB", "/usr/share/perl5"},
        {"LANG", "C.UTF-8"}};
    for (const auto& [name, value] : session)
        qputenv(name.constData(), value);
    const auto metadata =
        app::Exif::readExifMetadata(QFile::encodeName(photo).toStdString(), pryingTool(tools));
    for (const auto& [name, value] : session)
        qunsetenv(name.constData());

    std::set<std::string> names;
    for (const auto& [key, value] : metadata)
        if (key.starts_with("Env "))
            names.insert(key.substr(4));
    // What Perl and the libraries need to find their files, nothing of the session; the program's
    // own settings (the tests' platform for Qt) neither.
    EXPECT_EQ(metadata.count("Env PERL5LIB") ? metadata.at("Env PERL5LIB") : "", "/usr/share/perl5");
    EXPECT_EQ(metadata.count("Env LANG") ? metadata.at("Env LANG") : "", "C.UTF-8");
    for (const char* name :
         {"SECRET_TOKEN", "DBUS_SESSION_BUS_ADDRESS", "SSH_AUTH_SOCK", "DISPLAY", "QT_QPA_PLATFORM", "PATH"})
        EXPECT_EQ(names.count(name), 0u) << name;
}

TEST(Confined, AFileThatCannotBeGrantedIsLeftOutOfItsLaunchAlone) {
    ASSERT_FALSE(launcher().empty());
    QTemporaryDir home, tools, served;
    const QString photo = home.filePath("IMG_1.jpg");
    ASSERT_TRUE(QFile::copy(apptest::Harness::data("rocket.jpg"), photo));
    ASSERT_TRUE(QFile::copy(photo, served.filePath("turns.jpg")));
    const int granted = ::open(QFile::encodeName(photo).constData(), O_RDONLY | O_CLOEXEC);
    const int folder = ::open(QFile::encodeName(home.path()).constData(), O_RDONLY | O_CLOEXEC);
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    ASSERT_GE(granted, 0);
    ASSERT_GE(folder, 0);
    // Given: the photo; a pipe, a folder and a descriptor not open, which are no regular files;
    // and, where a share can be made, a photo on it whose name became a pipe once it was opened, of
    // which the descriptor can no longer be looked at.
    std::vector<std::pair<int, int>> files = {{granted, 64}, {pipe[0], 65}, {folder, 67}};
    gwtest::TestFileSystem share(served.path().toStdString(), {"--fifo-after-open", "turns.jpg=1"});
    int turned = -1;
    if (share.mounted()) {
        turned = ::open(share.file("turns.jpg").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(turned, 0);
        files.emplace_back(turned, 68);
        struct stat info {};
        EXPECT_FALSE(::fstat(turned, &info) == 0 && S_ISREG(info.st_mode));
    } else {
        std::printf("(no share: %s)\n", share.why().c_str());
    }
    std::vector<std::string> arguments;
    for (const auto& [ours, theirs] : files)
        arguments.insert(arguments.end(), {"--read-fd", std::to_string(theirs)});
    arguments.insert(arguments.end(), {"--read-fd", "66", "--", pryingTool(tools).toStdString()});
    for (int fd = 64; fd <= 68; ++fd)
        arguments.push_back("/proc/self/fd/" + std::to_string(fd));

    for (const Refused refused : {Refused::Nothing, Refused::Landlock}) {
        const Launched run = launch(arguments, refused, files);
        if (refused == Refused::Landlock && !namespacesAllowed())
            continue;
        // The tool runs, and reads its one file; each of the others is said on the standard error.
        ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.err;
        auto found = reached(run.out);
        std::erase_if(found, [](const auto& entry) { return entry.first.starts_with("Env "); });
        EXPECT_EQ(found, (std::map<std::string, std::string>{
                             {"/proc/self/fd/64", std::to_string(QFileInfo(photo).size()) + " bytes"}}));
        for (int fd = 65; fd <= (turned >= 0 ? 68 : 67); ++fd)
            EXPECT_NE(run.err.find("--read-fd " + std::to_string(fd) + " is left out"), std::string::npos)
                << run.err;
    }
    for (const int fd : {granted, folder, pipe[0], pipe[1], turned})
        if (fd >= 0)
            ::close(fd);

    // A wrong command line is still refused as a whole.
    for (const char* fd : {"2", "x", "", "64x", "-64", "4294967360"}) {
        const Launched run = launch({"--read-fd", fd, "--", "/usr/bin/perl", "-e", "print 1"});
        EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 125) << fd << ": " << run.err;
        EXPECT_EQ(run.out, "") << fd;
    }
}
