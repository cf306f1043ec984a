// Files that the image library's readers fault on, made here: whatever a reader does with them
// (crash, abort, loop, allocate without bound), the file fails with a reason and the next one reads.
// And a file goes only to the reader of the type its content shows, by no name of its own.

#include "support/TestFileSystem.h"
#include "support/TestSupport.h"

#include "ci/core/Context.h"
#include "ci/core/Memory.h"
#include "ci/io/Codec.h"
#include "ci/io/ImageLibrary.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace ci;
using namespace ci::io;
using gwtest::BudgetOf;
using gwtest::maxDifference;
using gwtest::TempDir;
using gwtest::writeBytes;

namespace {

void putLE(std::vector<uint8_t>& out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(uint8_t(v >> (8 * i)));
}
void putBE(std::vector<uint8_t>& out, uint32_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back(uint8_t(v >> (8 * i)));
}

/// An 8 x 8 BMP of 24 bits a pixel whose header claims run-length coding, which is only for
/// palette pictures: the library's reader then looks its runs up in a palette it does not have.
std::vector<uint8_t> bmpClaimingRuns(uint32_t compression) {
    std::vector<uint8_t> runs;
    for (int y = 0; y < 8; ++y) {
        runs.insert(runs.end(), {8, 0xFF});
        if (y < 7)
            runs.insert(runs.end(), {0, 0}); // end of line
    }
    runs.insert(runs.end(), {0, 1}); // end of picture
    std::vector<uint8_t> bmp = {'B', 'M'};
    putLE(bmp, 138, 4);
    putLE(bmp, 0, 4);
    putLE(bmp, 54, 4);
    for (uint32_t v : {40u, 8u, 8u})
        putLE(bmp, v, 4);
    putLE(bmp, 1, 2);  // planes
    putLE(bmp, 24, 2); // bits a pixel
    for (uint32_t v : {compression, uint32_t(runs.size()), 2835u, 2835u, 0u, 0u})
        putLE(bmp, v, 4);
    bmp.insert(bmp.end(), runs.begin(), runs.end());
    bmp.resize(138, 0);
    return bmp;
}

/// An 8 x 8 RGB SGI picture, run-length coded, each of whose rows is one run of 127 pixels.
std::vector<uint8_t> sgiWithLongRuns() {
    std::vector<uint8_t> sgi;
    putBE(sgi, 474, 2); // magic
    sgi.push_back(1);   // run-length coded
    sgi.push_back(1);   // a byte a sample
    for (uint32_t v : {3u, 8u, 8u, 3u})
        putBE(sgi, v, 2);
    putBE(sgi, 0, 4);
    putBE(sgi, 255, 4);
    sgi.resize(512, 0);
    const uint32_t rows = 8 * 3, data = 512 + rows * 8;
    for (uint32_t i = 0; i < rows; ++i)
        putBE(sgi, data + i * 3, 4); // where each row starts
    for (uint32_t i = 0; i < rows; ++i)
        putBE(sgi, 3, 4); // and its length
    for (uint32_t i = 0; i < rows; ++i)
        sgi.insert(sgi.end(), {0x7F, 0x55, 0});
    return sgi;
}

/// A Photoshop file of a version that does not exist, whose header the RLA reader would take for
/// a picture of its own.
std::vector<uint8_t> damagedPsd() {
    std::vector<uint8_t> psd = {'8', 'B', 'P', 'S'};
    putBE(psd, 7, 2); // version
    psd.resize(12, 0);
    putBE(psd, 0, 2);     // channels
    putBE(psd, 65536, 4); // height
    putBE(psd, 1, 4);     // width
    putBE(psd, 0, 2);     // depth
    putBE(psd, 0, 2);     // mode
    psd.resize(1000, 0);
    return psd;
}

/// A GIF whose screen is 65535 x 65535 pixels.
std::vector<uint8_t> hugeGif() {
    std::vector<uint8_t> gif = {'G', 'I', 'F', '8', '9', 'a'};
    putLE(gif, 65535, 2);
    putLE(gif, 65535, 2);
    gif.insert(gif.end(), {0, 0, 0, ','});
    for (uint32_t v : {0u, 0u, 65535u, 65535u})
        putLE(gif, v, 2);
    gif.insert(gif.end(), {0, 2, 2, 0x44, 1, 0, ';'});
    return gif;
}

/// A small opaque TIFF photo.
std::vector<uint8_t> goodTiff() {
    PixelBuffer px;
    px.width = 6;
    px.height = 4;
    px.data.resize(size_t(px.width * px.height * 4), 255);
    for (size_t i = 0; i < px.data.size(); i += 4)
        px.data[i] = uint8_t(i * 3);
    auto bytes = encodePixels(px, FileType::TIFF);
    return bytes ? *bytes : std::vector<uint8_t>();
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

TEST(CodecReaders, AFaultOfAReaderFailsItsFileAndTheNextReads) {
    TempDir tmp;
    const std::vector<uint8_t> tiff = goodTiff();
    ASSERT_FALSE(tiff.empty());
    writeBytes(tmp.file("good.tif"), tiff);
    auto expectGoodReads = [&] {
        auto good = decodeFile(tmp.file("good.tif"));
        ASSERT_TRUE(good.ok()) << good.error();
        EXPECT_EQ(good->width, 6);
    };

    // Crashes and aborts of the library's own readers, from a file and from memory, in the import's
    // check and in the decode.
    const std::vector<std::pair<std::string, std::vector<uint8_t>>> files = {
        {"rle8.bmp", bmpClaimingRuns(1)}, {"rle4.bmp", bmpClaimingRuns(2)}, {"runs.sgi", sgiWithLongRuns()}};
    for (const auto& [name, bytes] : files) {
        SCOPED_TRACE(name);
        EXPECT_LT(bytes.size(), size_t(1024));
        writeBytes(tmp.file(name), bytes);
        for (const std::string& error :
             {decodeFile(tmp.file(name)).error(), probeFile(tmp.file(name), ProbeDepth::Data).error(),
              decodeData(bytes).error()})
            EXPECT_NE(error.find("The image could not be read: its reader stopped (signal"),
                      std::string::npos)
                << error;
        expectGoodReads();
    }

    // A reader that crashes, loops, waits or allocates without end: a reader process started for
    // tests does so on demand. Each fails its file within seconds.
    imagelib::setWorkerTestHooks(true);
    BudgetOf budget(256 << 20);
    for (const char* fault : {"crash", "spin", "hang", "alloc"}) {
        SCOPED_TRACE(fault);
        const std::string hook = std::string("GW-WORKER-TEST:") + fault;
        writeBytes(tmp.file("fault.rla"), std::vector<uint8_t>(hook.begin(), hook.end()));
        const auto start = std::chrono::steady_clock::now();
        imagelib::setWorkerLimits({1, 4});
        auto faulty = decodeFile(tmp.file("fault.rla"));
        imagelib::setWorkerLimits({});
        ASSERT_FALSE(faulty.ok());
        EXPECT_LT(secondsSince(start), 15.0);
        EXPECT_NE(faulty.error().find("The image could not be read: its reader "), std::string::npos)
            << faulty.error();
        expectGoodReads();
    }
    EXPECT_NE(decodeFile(tmp.file("fault.rla")).error().find("needs more memory than the budget allows"),
              std::string::npos);
    imagelib::setWorkerTestHooks(false);
}

TEST(CodecReaders, OnlyTheReaderOfTheContentsTypeReadsAFileWhateverItsName) {
    TempDir tmp;
    // The library parses no name: these are only names.
    const std::vector<uint8_t> tiff = goodTiff();
    for (const char* name : {"t?.tif", "a*[1].tif", "%04d#@.tif"}) {
        writeBytes(tmp.file(name), tiff);
        auto d = decodeFile(tmp.file(name));
        ASSERT_TRUE(d.ok()) << name << ": " << d.error();
        EXPECT_EQ(d->format, "tiff");
    }

    // So is this PNG's, whose text chunk leaves it to the image library.
    {
        const uint8_t px[3 * 2 * 3] = {200, 10, 10, 10, 200, 10, 10,  10,  200,
                                       9,   9,  9,  99, 99,  99, 199, 199, 199};
        OIIO::ImageSpec spec(3, 2, 3, OIIO::TypeDesc::UINT8);
        spec.attribute("ImageDescription", "a text chunk");
        auto out = OIIO::ImageOutput::create("png");
        ASSERT_TRUE(out && out->open(tmp.file("text.png"), spec) &&
                    out->write_image(OIIO::TypeDesc::UINT8, px) && out->close());
        std::filesystem::rename(tmp.file("text.png"), tmp.file("p?.png"));
        auto d = decodeFile(tmp.file("p?.png"));
        ASSERT_TRUE(d.ok()) << d.error();
        EXPECT_EQ(d->width, 3);
    }

    // A damaged Photoshop file fails with the Photoshop reader's reason: no other reader is tried
    // on it (the RLA reader would take it for a picture of 1 x 2 pixels).
    writeBytes(tmp.file("damaged.psd"), damagedPsd());
    for (const std::string& error :
         {probeFile(tmp.file("damaged.psd")).error(), decodeFile(tmp.file("damaged.psd")).error()})
        EXPECT_NE(error.find("invalid version"), std::string::npos) << error;

    // A picture too large for the budget is refused with the budget's words, before its reader
    // allocates for it.
    BudgetOf budget(int64_t(1) << 30);
    writeBytes(tmp.file("huge.gif"), hugeGif());
    for (const std::string& error :
         {decodeFile(tmp.file("huge.gif")).error(), decodeData(hugeGif()).error()}) {
        EXPECT_NE(error.find("The image is too large (65535 x 65535 pixels): needs"), std::string::npos)
            << error;
        EXPECT_NE(error.find("limit 1.0 GB"), std::string::npos) << error;
    }
}

namespace {

/// The pixels of a decoded file, or an empty bitmap when it fails.
Bitmap pixelsOf(const Result<Decoded>& d) {
    if (!d.ok())
        return Bitmap();
    Result<Bitmap> pixels = Context().render(d->image);
    return pixels.ok() ? std::move(*pixels) : Bitmap();
}

/// The processes named `name` that are this process's children now.
std::vector<pid_t> childrenNamed(const std::string& name) {
    std::vector<pid_t> readers;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string id = entry.path().filename();
        if (id.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream status(entry.path() / "status");
        std::string line, comm;
        pid_t parent = 0;
        while (std::getline(status, line)) {
            if (line.starts_with("Name:"))
                comm = line.substr(line.find_first_not_of(" \t", 5));
            if (line.starts_with("PPid:"))
                parent = pid_t(std::stol(line.substr(5)));
        }
        if (comm == name && parent == ::getpid())
            readers.push_back(pid_t(std::stol(id)));
    }
    return readers;
}

std::string statusField(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with(field + ":"))
            return line.substr(line.find_first_not_of(" \t", field.size() + 1));
    return {};
}

std::atomic<int> signalsReceived{0};

} // namespace

TEST(CodecReaders, AReaderThatAnswersWronglyFailsItsFileAloneAndTheNextReadsAsBefore) {
    TempDir tmp;
    writeBytes(tmp.file("good.tif"), goodTiff());
    const Bitmap honest = pixelsOf(decodeFile(tmp.file("good.tif")));
    ASSERT_FALSE(honest.rect().isEmpty());

    // What a picture's own arithmetic allows is no lie: a data window that starts above and left
    // of the origin.
    {
        const float px[4 * 3 * 2] = {};
        OIIO::ImageSpec spec(4, 3, 2, OIIO::TypeDesc::FLOAT);
        spec.x = -5;
        spec.y = -7;
        auto out = OIIO::ImageOutput::create("openexr");
        ASSERT_TRUE(out && out->open(tmp.file("window.exr"), spec) &&
                    out->write_image(OIIO::TypeDesc::FLOAT, px) && out->close());
        auto d = decodeFile(tmp.file("window.exr"));
        ASSERT_TRUE(d.ok()) << d.error();
        EXPECT_EQ(d->height, 3);
    }

    imagelib::setWorkerTestHooks(true);
    // A header whose bytes are not its rows rows past the largest number, channels without end,
    // half a gigabyte of profile, a format name that is a terminal's command, a status that is
    // none, fewer samples than asked for.
    for (const char* lie : {"size", "origin", "channels", "profile", "format", "status", "count"}) {
        SCOPED_TRACE(lie);
        const std::string hook = std::string("GW-WORKER-TEST:lie-") + lie;
        writeBytes(tmp.file("lie.rla"), std::vector<uint8_t>(hook.begin(), hook.end()));
        for (const std::string& error : {decodeFile(tmp.file("lie.rla")).error(),
                                         probeFile(tmp.file("lie.rla"), ProbeDepth::Data).error()})
            EXPECT_EQ(error, "The image could not be read: its reader answered wrongly");
        EXPECT_EQ(maxDifference(pixelsOf(decodeFile(tmp.file("good.tif"))), honest), 0.0);
    }

    // Its words reach the window as plain text, without what a terminal or a label would act on.
    const std::string hook = "GW-WORKER-TEST:lie-text";
    writeBytes(tmp.file("text.rla"), std::vector<uint8_t>(hook.begin(), hook.end()));
    EXPECT_EQ(decodeFile(tmp.file("text.rla")).error(),
              "]0;pwned<img src=\"/etc/passwd\"><b>bold</b>2J done");

    // A starter that names another process (the program itself) as the new reader: the program
    // kills nothing of its own, and ends that starter.
    imagelib::setWorkerTestHooks(true, true);
    if (!gwtest::sanitized) { // where every reader starts afresh, without a starter
        EXPECT_NE(decodeFile(tmp.file("good.tif")).error().find("The image reader could not be started"),
                  std::string::npos);
    }
    imagelib::setWorkerTestHooks(false);
    EXPECT_EQ(maxDifference(pixelsOf(decodeFile(tmp.file("good.tif"))), honest), 0.0);
}

TEST(CodecReaders, AReaderTakenOverByItsFileReachesNothing) {
    TempDir tmp;
    // What it may try: a file in this folder, a connection to this listener, a program that
    // writes a file, a signal to the program, limits lifted, a child left behind.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    struct sigaction counting {};
    counting.sa_handler = [](int) { ++signalsReceived; };
    struct sigaction before {};
    ::sigaction(SIGUSR1, &counting, &before);

    const std::string hook =
        "GW-WORKER-TEST:escape " + tmp.path.string() + " " + std::to_string(ntohs(address.sin_port));
    writeBytes(tmp.file("escape.rla"), std::vector<uint8_t>(hook.begin(), hook.end()));
    ::setenv("SSH_AUTH_SOCK", "/tmp/agent.sock", 1);
    imagelib::setWorkerTestHooks(true);
    imagelib::setWorkerLimits({1, 3});
    auto reading = std::async(std::launch::async, [&] { return decodeFile(tmp.file("escape.rla")); });
    // Seen from outside while it waits, having tried everything.
    pid_t reader = 0;
    for (int i = 0; i < 200 && !reader; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        for (pid_t pid : childrenNamed("gw_escaping"))
            if (statusField(pid, "State").starts_with("S"))
                reader = pid;
    }
    ASSERT_NE(reader, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(statusField(reader, "NoNewPrivs"), "1");
    EXPECT_EQ(statusField(reader, "Seccomp"), "2");
    EXPECT_EQ(statusField(reader, "CapEff"), "0000000000000000");
    // Nothing of the user's session, and no terminal of the program's.
    std::ifstream environment("/proc/" + std::to_string(reader) + "/environ");
    const std::string variables((std::istreambuf_iterator<char>(environment)),
                                std::istreambuf_iterator<char>());
    EXPECT_EQ(variables.find("SSH_AUTH_SOCK"), std::string::npos);
    for (const char* fd : {"0", "1", "2"})
        EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(reader) + "/fd/" + fd),
                  "/dev/null");
    std::ifstream limits("/proc/" + std::to_string(reader) + "/limits");
    for (std::string line; std::getline(limits, line);) {
        if (line.starts_with("Max cpu time") || line.starts_with("Max file size") ||
            (line.starts_with("Max address space") && !gwtest::sanitized)) {
            EXPECT_EQ(line.find("unlimited"), std::string::npos) << line;
        }
    }
    const Result<Decoded> escaped = reading.get();
    imagelib::setWorkerLimits({});
    imagelib::setWorkerTestHooks(false);
    ::sigaction(SIGUSR1, &before, nullptr);
    ::unsetenv("SSH_AUTH_SOCK");

    EXPECT_FALSE(escaped.ok());
    EXPECT_FALSE(std::filesystem::exists(tmp.file("written")));
    EXPECT_FALSE(std::filesystem::exists(tmp.file("started")));
    EXPECT_LT(::accept(listener, nullptr, nullptr), 0);
    ::close(listener);
    EXPECT_EQ(signalsReceived.load(), 0);
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream comm(entry.path() / "comm");
        std::string name;
        EXPECT_FALSE(std::getline(comm, name) && name == "gw_reader_child") << entry.path();
    }
}

TEST(CodecReaders, AReaderFindsNothingOfAnotherFileInItsMemory) {
    TempDir tmp;
    PixelBuffer photo;
    photo.width = photo.height = 256;
    photo.data.resize(size_t(photo.width * photo.height * 4), 255);
    for (size_t i = 0; i < photo.data.size(); i += 4)
        photo.data[i] = uint8_t(1 + i % 200);
    auto tiff = encodePixels(photo, FileType::TIFF);
    ASSERT_TRUE(tiff.ok());
    writeBytes(tmp.file("photo.tif"), *tiff);
    const std::string hook = "GW-WORKER-TEST:peek";
    writeBytes(tmp.file("peek.rla"), std::vector<uint8_t>(hook.begin(), hook.end()));

    // Readers come and go as in a batch, their memories kept for the next: a reader that looks
    // before it writes finds none of the photos' samples.
    imagelib::setWorkerTestHooks(true);
    for (int round = 0; round < 4; ++round) {
        for (int photos = 0; photos < 2; ++photos)
            ASSERT_TRUE(decodeFile(tmp.file("photo.tif")).ok());
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the ended readers are waited for
        EXPECT_EQ(decodeFile(tmp.file("peek.rla")).error(), "found 0 bytes");
    }

    // Nor the profile that a reader wrote before an answer that was refused, an error, or a crash
    // instead of an answer. The next readers get the memories most recently given back.
    for (const char* then : {"lie-format", "lie-text", "crash"}) {
        SCOPED_TRACE(then);
        const std::string scribble = std::string("GW-WORKER-TEST:scribble ") + then;
        writeBytes(tmp.file("scribble.rla"), std::vector<uint8_t>(scribble.begin(), scribble.end()));
        EXPECT_FALSE(decodeFile(tmp.file("scribble.rla")).ok());
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        for (int peeks = 0; peeks < 3; ++peeks)
            EXPECT_EQ(decodeFile(tmp.file("peek.rla")).error(), "found 0 bytes");
    }
    imagelib::setWorkerTestHooks(false);
}

/// Whether this system lets an unprivileged process make a user namespace of its own.
bool userNamespaces() {
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(::unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET) == 0 ? 0 : 1);
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

TEST(CodecReaders, AReaderLearnsNothingBeyondItsFile) {
    TempDir tmp;
    // A secret beside the photos, and a photo that says where it came from.
    writeBytes(tmp.file("id_rsa"), {'k', 'e', 'y'});
    writeBytes(tmp.file("photo.tif"), goodTiff());
    const std::string origin = "https://example.com/photo.tif";
    ::setxattr(tmp.file("photo.tif").c_str(), "user.xdg.origin.url", origin.data(), origin.size(), 0);
    const std::string hook = "GW-WORKER-TEST:probe " + tmp.file("id_rsa") + " " + tmp.file("photo.tif");
    writeBytes(tmp.file("probe.rla"), std::vector<uint8_t>(hook.begin(), hook.end()));
    imagelib::setWorkerTestHooks(true);
    const std::string answer = decodeFile(tmp.file("probe.rla")).error();
    imagelib::setWorkerTestHooks(false);
    std::map<std::string, int> reached;
    std::istringstream words(answer);
    for (std::string word; words >> word;)
        if (const size_t equals = word.find('='); equals != std::string::npos)
            reached[word.substr(0, equals)] = std::stoi(word.substr(equals + 1));
    ASSERT_EQ(reached.size(), 7u) << answer;
    // Another file's attributes, the machine's connections and sockets, a lease or a lock that
    // would hold up the user's programs: each refused.
    for (const char* call : {"getxattr", "net-tcp", "net-unix", "lease", "flock"})
        EXPECT_NE(reached[call], 0) << call;
    // Other files are not there at all where readers have a file system of their own (under the
    // sanitizers, a runtime's thread may keep them from making one).
    if (userNamespaces() && !gwtest::sanitized) {
        EXPECT_EQ(reached["stat"], ENOENT);
    }
    // The threads its codecs need, never without end (readers started afresh under the
    // sanitizers load the library, and its threads, after their confinement).
    EXPECT_GT(reached["threads"], 0);
    if (!gwtest::sanitized) {
        EXPECT_LT(reached["threads"], 64);
    }

    // Which the codecs of HEIF pictures need, whoever the user is.
    std::vector<uint8_t> rgb(64 * 48 * 3, 128);
    for (const char* name : {"photo.heic", "photo.avif"}) {
        SCOPED_TRACE(name);
        OIIO::ImageSpec spec(64, 48, 3, OIIO::TypeDesc::UINT8);
        auto out = OIIO::ImageOutput::create(name);
        ASSERT_TRUE(out && out->open(tmp.file(name), spec) &&
                    out->write_image(OIIO::TypeDesc::UINT8, rgb.data()) && out->close());
        const auto start = std::chrono::steady_clock::now();
        auto d = decodeFile(tmp.file(name));
        ASSERT_TRUE(d.ok()) << d.error();
        EXPECT_EQ(d->width, 64);
        EXPECT_LT(secondsSince(start), 5.0 * gwtest::slowdown);
    }
}

TEST(CodecReaders, AnSvgReachesNoOtherFile) {
    TempDir tmp;
    PixelBuffer red;
    red.width = red.height = 8;
    red.data.resize(8 * 8 * 4, 0);
    for (size_t i = 0; i < red.data.size(); i += 4)
        red.data[i] = red.data[i + 3] = 255;
    auto png = encodePixels(red, FileType::PNG);
    ASSERT_TRUE(png.ok());
    writeBytes(tmp.file("red.png"), *png);
    ASSERT_EQ(::mkfifo(tmp.file("fifo.png").c_str(), 0600), 0);

    auto svgNaming = [](const std::string& reference) {
        const std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" "
                                "xmlns:xlink=\"http://www.w3.org/1999/xlink\" width=\"16\" height=\"16\">"
                                "<image x=\"0\" y=\"0\" width=\"16\" height=\"16\" xlink:href=\"" +
                                reference + "\"/></svg>";
        return std::vector<uint8_t>(svg.begin(), svg.end());
    };
    // A picture of the user's, by its full name and by a name relative to the program's folder,
    // and a pipe that would hold its reader: none is read into the drawing.
    const std::string relative = std::filesystem::relative(tmp.file("red.png")).string();
    for (const std::string& reference :
         {tmp.file("red.png"), "file://" + tmp.file("red.png"), relative, tmp.file("fifo.png")}) {
        SCOPED_TRACE(reference);
        writeBytes(tmp.file("drawing.svg"), svgNaming(reference));
        const auto start = std::chrono::steady_clock::now();
        const Result<Decoded> d = decodeFile(tmp.file("drawing.svg"));
        EXPECT_LT(secondsSince(start), 5.0 * gwtest::slowdown);
        if (d.ok()) {
            const Bitmap pixels = pixelsOf(d);
            ASSERT_FALSE(pixels.rect().isEmpty());
            EXPECT_LT(pixels.pixel(8, 8)[3], 0.01f);
        }
    }
}

namespace {

/// A picture of one tile of `width` x `height` in the named format (.heic or .avif), as the
/// image library writes it; empty when it cannot.
std::vector<uint8_t> heifTile(const TempDir& tmp, const std::string& name, int width, int height) {
    std::vector<uint8_t> rgb(size_t(width) * size_t(height) * 3);
    for (size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = uint8_t(64 + (i * 7) % 128);
    OIIO::ImageSpec spec(width, height, 3, OIIO::TypeDesc::UINT8);
    auto out = OIIO::ImageOutput::create(name);
    if (!out || !out->open(tmp.file(name), spec) || !out->write_image(OIIO::TypeDesc::UINT8, rgb.data()) ||
        !out->close())
        return {};
    std::ifstream in(tmp.file(name), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

/// The picture of `tile` (a HEIF or AVIF file of one picture) as a grid of `rows` x `columns` tiles,
/// each coded on its own, as phones store their photos; empty when `tile` is not as expected.
std::vector<uint8_t> heifGrid(const std::vector<uint8_t>& tile, int rows, int columns) {
    struct Box {
        std::string type;
        size_t start, body, end;
    };
    auto number = [&](size_t at, int bytes) {
        uint64_t v = 0;
        for (int i = 0; i < bytes && at + size_t(i) < tile.size(); ++i)
            v = v << 8 | tile[at + size_t(i)];
        return v;
    };
    auto boxes = [&](size_t from, size_t to) {
        std::vector<Box> found;
        while (from + 8 <= to) {
            const uint64_t size = number(from, 4);
            if (size < 8 || from + size > to)
                break;
            found.push_back({std::string(tile.begin() + long(from) + 4, tile.begin() + long(from) + 8), from,
                             from + 8, from + size});
            from += size;
        }
        return found;
    };
    auto find = [](const std::vector<Box>& in, const std::string& type) {
        const auto it = std::find_if(in.begin(), in.end(), [&](const Box& b) { return b.type == type; });
        return it == in.end() ? std::optional<Box>() : std::optional<Box>(*it);
    };
    const auto meta = find(boxes(0, tile.size()), "meta");
    if (!meta)
        return {};
    const std::vector<Box> inMeta = boxes(meta->body + 4, meta->end);
    const auto iinf = find(inMeta, "iinf"), iloc = find(inMeta, "iloc"), iprp = find(inMeta, "iprp");
    const auto infe = iinf ? find(boxes(iinf->body + 6, iinf->end), "infe") : std::nullopt;
    const auto ipco = iprp ? find(boxes(iprp->body, iprp->end), "ipco") : std::nullopt;
    if (!infe || !iloc || !ipco)
        return {};
    // The coding of item 1, the picture, and its data.
    const std::string coding(tile.begin() + long(infe->body) + 8, tile.begin() + long(infe->body) + 12);
    size_t at = iloc->body;
    const int version = tile[at];
    const int offsetSize = tile[at + 4] >> 4, lengthSize = tile[at + 4] & 15, baseSize = tile[at + 5] >> 4;
    at += 6;
    const uint64_t items = number(at, 2);
    at += 2;
    std::vector<uint8_t> data;
    for (uint64_t i = 0; i < items; ++i) {
        const uint64_t id = number(at, 2);
        at += version >= 1 ? 6 : 4;
        const uint64_t base = number(at, baseSize);
        const uint64_t extents = number(at + size_t(baseSize), 2);
        at += size_t(baseSize) + 2;
        for (uint64_t e = 0; e < extents; ++e) {
            const uint64_t offset = base + number(at, offsetSize),
                           length = number(at + size_t(offsetSize), lengthSize);
            at += size_t(offsetSize + lengthSize);
            if (id == 1 && offset + length <= tile.size())
                data.insert(data.end(), tile.begin() + long(offset), tile.begin() + long(offset + length));
        }
    }
    std::map<std::string, std::vector<uint8_t>> properties;
    for (const Box& b : boxes(ipco->body, ipco->end))
        properties[b.type].assign(tile.begin() + long(b.start), tile.begin() + long(b.end));
    const std::vector<uint8_t>& configuration = properties[coding == "hvc1" ? "hvcC" : "av1C"];
    const std::vector<uint8_t>& size = properties["ispe"];
    if (data.empty() || configuration.empty() || size.size() != 20)
        return {};
    auto be32 = [](const std::vector<uint8_t>& b, size_t at) {
        return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
    };
    const uint32_t width = be32(size, 12), height = be32(size, 16);

    using Bytes = std::vector<uint8_t>;
    auto box = [](const char* type, std::initializer_list<Bytes> parts) {
        Bytes body;
        for (const Bytes& part : parts)
            body.insert(body.end(), part.begin(), part.end());
        Bytes out;
        putBE(out, uint32_t(body.size() + 8), 4);
        out.insert(out.end(), type, type + 4);
        out.insert(out.end(), body.begin(), body.end());
        return out;
    };
    auto be = [](std::initializer_list<std::pair<uint32_t, int>> fields) {
        Bytes out;
        for (const auto& [value, bytes] : fields)
            putBE(out, value, bytes);
        return out;
    };
    auto text = [](const std::string& t) { return Bytes(t.begin(), t.end()); };
    const bool hevc = coding == "hvc1";
    const uint32_t tiles = uint32_t(rows * columns);
    // Item 1 the grid, items 2 on its tiles.
    Bytes infes, associations, references = be({{1, 2}, {tiles, 2}});
    Bytes extras;
    std::vector<uint8_t> extraIndexes;
    for (const char* type : {"pixi", "colr"})
        if (!properties[type].empty()) {
            extras.insert(extras.end(), properties[type].begin(), properties[type].end());
            extraIndexes.push_back(uint8_t(4 + extraIndexes.size()));
        }
    infes = box("infe", {be({{2u << 24, 4}, {1, 2}, {0, 2}}), text("grid"), {0}});
    associations = be({{1, 2}, {uint32_t(1 + extraIndexes.size()), 1}, {3, 1}});
    associations.insert(associations.end(), extraIndexes.begin(), extraIndexes.end());
    for (uint32_t t = 2; t < 2 + tiles; ++t) {
        const Bytes entry = box("infe", {be({{2u << 24 | 1, 4}, {t, 2}, {0, 2}}), text(coding), {0}});
        infes.insert(infes.end(), entry.begin(), entry.end());
        const Bytes tileAssociations =
            be({{t, 2}, {uint32_t(2 + extraIndexes.size()), 1}, {0x81, 1}, {2, 1}});
        associations.insert(associations.end(), tileAssociations.begin(), tileAssociations.end());
        associations.insert(associations.end(), extraIndexes.begin(), extraIndexes.end());
        putBE(references, t, 2);
    }
    const Bytes grid = be({{0, 1},
                           {0, 1},
                           {uint32_t(rows - 1), 1},
                           {uint32_t(columns - 1), 1},
                           {width * uint32_t(columns), 2},
                           {height * uint32_t(rows), 2}});
    const Bytes brand = text(hevc ? "heic" : "avif");
    const Bytes ftyp = box("ftyp", {brand, be({{0, 4}}), text("mif1"), brand, text("miaf")});
    auto metaAt = [&](uint32_t dataStart) {
        Bytes locations = be({{0, 4},
                              {0x4400, 2},
                              {1 + tiles, 2},
                              {1, 2},
                              {0, 2},
                              {1, 2},
                              {dataStart, 4},
                              {uint32_t(grid.size()), 4}});
        for (uint32_t t = 0; t < tiles; ++t) {
            const Bytes entry = be({{2 + t, 2},
                                    {0, 2},
                                    {1, 2},
                                    {dataStart + uint32_t(grid.size() + t * data.size()), 4},
                                    {uint32_t(data.size()), 4}});
            locations.insert(locations.end(), entry.begin(), entry.end());
        }
        return box("meta", {be({{0, 4}}), box("hdlr", {be({{0, 4}, {0, 4}}), text("pict"), Bytes(13, 0)}),
                            box("pitm", {be({{0, 4}, {1, 2}})}), box("iloc", {locations}),
                            box("iinf", {be({{0, 4}, {1 + tiles, 2}}), infes}),
                            box("iref", {be({{0, 4}}), box("dimg", {references})}),
                            box("iprp", {box("ipco", {configuration, size,
                                                      box("ispe", {be({{0, 4},
                                                                       {width * uint32_t(columns), 4},
                                                                       {height * uint32_t(rows), 4}})}),
                                                      extras}),
                                         box("ipma", {be({{0, 4}, {1 + tiles, 4}}), associations})})});
    };
    const Bytes gridMeta = metaAt(uint32_t(ftyp.size() + metaAt(0).size() + 8));
    Bytes out = ftyp;
    out.insert(out.end(), gridMeta.begin(), gridMeta.end());
    Bytes tileData;
    for (uint32_t t = 0; t < tiles; ++t)
        tileData.insert(tileData.end(), data.begin(), data.end());
    const Bytes mdat = box("mdat", {grid, tileData});
    out.insert(out.end(), mdat.begin(), mdat.end());
    return out;
}

double processCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

/// A file for the test hooks: `hook` after their mark, then `size` bytes in all.
void writeHook(const std::string& path, const std::string& hook, size_t size = 0) {
    std::vector<uint8_t> bytes(std::max(size, hook.size() + 15), ' ');
    const std::string text = "GW-WORKER-TEST:" + hook;
    std::copy(text.begin(), text.end(), bytes.begin());
    writeBytes(path, bytes);
}

} // namespace

TEST(CodecReaders, AReaderThatAsksForThreadsWithoutEndIsBoundedAndEnded) {
    // Readers started afresh under the sanitizers load the library, and its threads, after their
    // confinement: their threads are not asked for.
    if (gwtest::sanitized)
        GTEST_SKIP() << "threads are not asked for under the sanitizers";
    TempDir tmp;
    writeHook(tmp.file("threads.rla"), "threads");
    writeBytes(tmp.file("good.tif"), goodTiff());
    imagelib::setWorkerTestHooks(true);
    imagelib::setWorkerLimits({2, 6});
    // It asks from 62 threads at once, and then again and again, however often it is refused.
    const double cpuBefore = processCpuSeconds();
    auto reading = std::async(std::launch::async, [&] { return decodeFile(tmp.file("threads.rla")); });
    pid_t reader = 0;
    int most = 0;
    while (reading.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
        if (!reader) {
            const std::vector<pid_t> found = childrenNamed("gw_threads");
            reader = found.empty() ? 0 : found.front();
        } else if (const std::string threads = statusField(reader, "Threads"); !threads.empty()) {
            most = std::max(most, std::stoi(threads));
        }
    }
    const Result<Decoded> asked = reading.get();
    const double cpu = processCpuSeconds() - cpuBefore;
    imagelib::setWorkerLimits({});
    imagelib::setWorkerTestHooks(false);

    // Never more than 64 threads, however many ask at once; ended, at a cost to the program well
    // below the CPU time the reader itself may take.
    EXPECT_FALSE(asked.ok());
    EXPECT_GE(most, 62);
    EXPECT_LE(most, 64);
    EXPECT_LT(cpu, 1.0);
    EXPECT_TRUE(decodeFile(tmp.file("good.tif")).ok());

    // Requests that would be granted cost as much: from 20 threads at once, threads that end as
    // they start, and threads with flags that no thread library uses, which the kernel refuses.
    // Each flood costs the program as little, however long the reader may take.
    imagelib::setWorkerTestHooks(true);
    imagelib::setWorkerLimits({2, 6});
    for (const char* flood : {"threads-brief", "threads-unlike"}) {
        SCOPED_TRACE(flood);
        writeHook(tmp.file("flood.rla"), flood);
        const double before = processCpuSeconds();
        EXPECT_FALSE(decodeFile(tmp.file("flood.rla")).ok());
        EXPECT_LT(processCpuSeconds() - before, 1.0);
    }
    imagelib::setWorkerLimits({});
    imagelib::setWorkerTestHooks(false);
    EXPECT_TRUE(decodeFile(tmp.file("good.tif")).ok());
}

TEST(CodecReaders, AReaderThatAsksForThreadsJustUnderTheBoundsIsEndedEarlyAndHoldsUpNoOther) {
    // Readers started afresh under the sanitizers load the library, and its threads, after their
    // confinement: their threads are not asked for, and only the photos are read.
    const bool asked = !gwtest::sanitized;
    TempDir tmp;
    // Photos of 192 tiles, as a 50-megapixel phone stores them: the most threads that honest
    // readers ask for, one or two for each tile in HEIF, one more for each processor in AVIF.
    for (const char* name : {"grid.heic", "grid.avif"}) {
        const std::vector<uint8_t> grid =
            heifGrid(heifTile(tmp, std::string("tile-") + name, 64, 64), 12, 16);
        ASSERT_FALSE(grid.empty()) << name;
        writeBytes(tmp.file(name), grid);
    }
    writeBytes(tmp.file("good.tif"), goodTiff());
    // Just under the bounds of old: 8190 threads, each refused by the kernel once let start, a
    // thousand at once and then a thousand a second.
    writeHook(tmp.file("flood.rla"), "threads-paced 8190 1000 1000");
    // More than twice what the largest photo asks for, at the same pace; and as much as it asks
    // for, at once.
    writeHook(tmp.file("past.rla"), "threads-paced 2100 1000 1000");
    writeHook(tmp.file("honest.rla"), "threads-paced 1000 1000 0");
    imagelib::setWorkerTestHooks(true);

    // Four floods at once, among photos read meanwhile.
    std::vector<std::future<Result<Decoded>>> floods;
    std::vector<std::pair<std::string, std::future<Result<Decoded>>>> photos;
    for (int i = 0; i < (asked ? 4 : 0); ++i)
        floods.push_back(std::async(std::launch::async, [&] { return decodeFile(tmp.file("flood.rla")); }));
    for (int i = 0; i < 2; ++i)
        for (const std::string name : {"grid.heic", "grid.avif", "good.tif"})
            photos.emplace_back(
                name, std::async(std::launch::async, [&tmp, name] { return decodeFile(tmp.file(name)); }));
    for (auto& flood : floods) {
        const Result<Decoded> flooded = flood.get();
        ASSERT_FALSE(flooded.ok());
        EXPECT_TRUE(flooded.error().starts_with("The image could not be read: its reader"))
            << flooded.error();
    }
    for (auto& [name, photo] : photos) {
        const Result<Decoded> read = photo.get();
        ASSERT_TRUE(read.ok()) << name << ": " << read.error();
        EXPECT_EQ(read->width, name == "good.tif" ? 6 : 1024) << name;
    }
    // Ended once past its total, but let ask as often as an honest reader asks.
    if (asked) {
        const Result<Decoded> past = decodeFile(tmp.file("past.rla"));
        EXPECT_TRUE(past.error().starts_with("The image could not be read: its reader")) << past.error();
        EXPECT_EQ(decodeFile(tmp.file("honest.rla")).error(), "asked 1000 times");
    }
    imagelib::setWorkerTestHooks(false);
}

TEST(CodecReaders, AReaderOnASlowDiskReadsALargeFileToItsEnd) {
    TempDir tmp;
    // A reader that stops reading after a megabyte, one that reads its file again and again at
    // 2.5 MB a second, and one that does so from a file it drops from the page cache each time, so
    // that it comes from the disk at its pace: none of them holds its file past the two seconds it
    // has by more than the program takes to read the file itself.
    writeHook(tmp.file("stalls.rla"), "slow-stall", size_t(8) << 20);
    writeHook(tmp.file("again.rla"), "slow-again", size_t(16) << 20);
    writeHook(tmp.file("evicts.rla"), "slow-evict", size_t(48) << 20);
    imagelib::setWorkerTestHooks(true);
    imagelib::setWorkerLimits({1, 2});
    for (const char* name : {"stalls.rla", "again.rla", "evicts.rla"}) {
        SCOPED_TRACE(name);
        // Not in the page cache as it is opened, as a photo not read for a while.
        if (const int fd = ::open(tmp.file(name).c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
            ::fdatasync(fd);
            ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
            ::close(fd);
        }
        const auto start = std::chrono::steady_clock::now();
        const Result<Decoded> held = decodeFile(tmp.file(name));
        EXPECT_NE(held.error().find("its reader took too long"), std::string::npos) << held.error();
        EXPECT_LT(secondsSince(start), 5.0 * gwtest::slowdown);
    }

    // Sixteen megabytes that come from a medium of 2 MB a second as the reader reads them, well
    // past the two seconds it has.
    const std::string folder = tmp.file("medium");
    std::filesystem::create_directory(folder);
    writeHook(folder + "/slow.rla", "slow", size_t(16) << 20);
    gwtest::TestFileSystem medium(folder, {"--rate", "2000000", "--latency", "10"});
    if (medium.mounted()) {
        EXPECT_EQ(decodeFile(medium.file("slow.rla")).error(), "read 16777216 bytes");
    }
    imagelib::setWorkerLimits({});
    imagelib::setWorkerTestHooks(false);
    if (!medium.mounted())
        GTEST_SKIP() << medium.why();
}

TEST(CodecReaders, ReadersSharingASlowShareReadTheirFilesWhole) {
    // Four readers at once on one medium of 600 KB a second, each with 150 KB a second of it, far
    // past the second they have each; then one on a share whose files the kernel keeps no page of.
    TempDir tmp;
    const std::string folder = tmp.file("medium");
    std::filesystem::create_directory(folder);
    constexpr size_t kBytes = size_t(1) << 20;
    for (int i = 0; i < 4; ++i)
        writeHook(folder + "/slow" + std::to_string(i) + ".rla", "slow", kBytes);
    imagelib::setWorkerTestHooks(true);
    imagelib::setWorkerLimits({1, 1});
    {
        gwtest::TestFileSystem shared(folder, {"--rate", "600000", "--latency", "5"});
        if (shared.mounted()) {
            std::vector<std::future<std::string>> reads;
            for (int i = 0; i < 4; ++i)
                reads.push_back(std::async(std::launch::async, [&, i] {
                    return decodeFile(shared.file("slow" + std::to_string(i) + ".rla")).error();
                }));
            for (auto& read : reads)
                EXPECT_EQ(read.get(), "read " + std::to_string(kBytes) + " bytes");
        }
    }
    gwtest::TestFileSystem uncached(folder, {"--rate", "400000", "--latency", "5", "--direct-io", "1"});
    if (uncached.mounted()) {
        EXPECT_EQ(decodeFile(uncached.file("slow0.rla")).error(),
                  "read " + std::to_string(kBytes) + " bytes");
    }
    imagelib::setWorkerLimits({});
    imagelib::setWorkerTestHooks(false);
    if (!uncached.mounted())
        GTEST_SKIP() << uncached.why();
}
