#include "Platform/FileSystem.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "Platform/Host.h"
#include "Platform/Keychain.h"
#include "Platform/UserDefaults.h"
#include "support/TestSupport.h"

namespace sorvel::platform {
namespace {

using namespace std::chrono_literals;
using testing::modeOf;
using testing::ScopedUmask;

TEST(FileSystem, FoldersAndFilesArePrivateWhateverTheUmask) {
    for (mode_t mask : {022, 000, 0277}) {
        SCOPED_TRACE(mask);
        testing::TempDir dir;
        ScopedUmask scoped(mask);

        // Each folder created on the way is 0700; one that was there stays as it was.
        ASSERT_EQ(::mkdir((dir.path() + "/shared").c_str(), 0755), 0);
        ASSERT_EQ(::chmod((dir.path() + "/shared").c_str(), 0755), 0);
        ASSERT_TRUE(makePrivateFolder(dir.path() + "/shared/a//b/c/"));
        EXPECT_EQ(modeOf(dir.path() + "/shared"), 0755);
        for (const char* made : {"/shared/a", "/shared/a/b", "/shared/a/b/c"}) {
            EXPECT_EQ(modeOf(dir.path() + made), 0700) << made;
        }
        EXPECT_TRUE(makePrivateFolder(dir.path() + "/shared/a/b"));  // already there
        std::ofstream(dir.path() + "/file") << "x";
        Status blocked = makePrivateFolder(dir.path() + "/file/sub");
        EXPECT_FALSE(blocked);
        EXPECT_NE(blocked.message().find("/file"), std::string::npos) << blocked.message();

        // A new file is 0600; an existing one keeps only its owner's bits.
        const std::string fresh = dir.path() + "/fresh";
        auto fd = openPrivateFile(fresh, O_RDWR);
        ASSERT_TRUE(fd) << fd.status().message();
        EXPECT_EQ(::write(fd.value(), "abc", 3), 3);
        ::close(fd.value());
        EXPECT_EQ(modeOf(fresh), 0600);
        for (auto [before, after] : {std::pair{0644, 0600}, {0444, 0400}}) {
            const std::string old = dir.path() + "/old" + std::to_string(before);
            std::ofstream(old) << "kept";
            ASSERT_EQ(::chmod(old.c_str(), static_cast<mode_t>(before)), 0);
            EXPECT_TRUE(ensurePrivateFile(old)) << before;
            EXPECT_EQ(modeOf(old), after) << before;
            std::ifstream in(old);
            std::string text;
            in >> text;
            EXPECT_EQ(text, "kept") << "the contents are untouched";
        }

        // Not a regular file: refused, and a FIFO without waiting for a writer.
        const std::string fifo = dir.path() + "/fifo";
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        const auto unblock = [&] { testing::freeFifoReader(fifo); };
        EXPECT_TRUE(testing::endsWithin(
            10s, [&] { EXPECT_FALSE(openPrivateFile(fifo, O_RDONLY)); }, unblock));
        EXPECT_TRUE(testing::endsWithin(
            10s, [&] { EXPECT_FALSE(ensurePrivateFile(fifo)); }, unblock));
        ASSERT_EQ(::symlink(fresh.c_str(), (dir.path() + "/link").c_str()), 0);
        EXPECT_FALSE(openPrivateFile(dir.path() + "/link", O_RDWR));
        EXPECT_FALSE(ensurePrivateFile(dir.path() + "/shared"));
    }
}

TEST(FileSystem, TheSdksFoldersArePrivateWhateverTheUmask) {
    for (mode_t mask : {022, 000}) {
        SCOPED_TRACE(mask);
        testing::FreshSdk sdk;
        ScopedUmask scoped(mask);
        const std::string home = sdk.home() + "/app/home";
        const std::string keychain = sdk.home() + "/keys/chain";
        host::setHomeFolder(home);
        host::setKeychainFolder(keychain);

        EXPECT_EQ(documentsFolder(), home + "/Documents");
        EXPECT_EQ(cachesFolder(), home + "/Library/Caches");
        EXPECT_EQ(tempFolder(), home + "/tmp");
        // The settings store and the keychain create their folders as they write.
        ASSERT_TRUE(UserDefaults::suite("private")->set("secret", Value("s3cr3t")));
        ASSERT_EQ(Keychain::save("svc", "acct", "id"), KeychainStatus::SUCCESS);
        for (const std::string& folder :
             {sdk.home() + "/app", home, home + "/Documents", home + "/Library",
              home + "/Library/Preferences", home + "/Library/Caches", home + "/tmp",
              sdk.home() + "/keys", keychain}) {
            EXPECT_EQ(modeOf(folder), 0700) << folder;
        }
    }
}

// When started as the default-home child, this program prints the folders it
// would use with no home set by a host, creating them under umask 000.
int printDefaultFoldersIfAsked() {
    if (std::getenv("SORVEL_FS_DEFAULT_HOME_CHILD") == nullptr) {
        return 0;
    }
    ::umask(0);
    host::setBundleId("com.example.app");
    std::string first = homeFolder();
    // Another bundle id is another app, in a folder of its own; one that is
    // not a file name cannot climb out of the folder of homes.
    host::setBundleId("../../etc");
    std::string climbing = homeFolder();
    host::setBundleId("com.example.app");
    std::printf("HOME=%s\nCLIMB=%s\nKEYCHAIN=%s\nPREFS=%s\nEND\n", first.c_str(), climbing.c_str(),
                keychainFolder().c_str(), preferencesFolder().c_str());
    std::fflush(stdout);
    std::_Exit(0);
}
const int kDefaultHomeChild = printDefaultFoldersIfAsked();

std::string defaultFoldersWith(std::vector<std::string> env) {
    env.push_back("SORVEL_FS_DEFAULT_HOME_CHILD=1");
    return testing::runSelf(env, "END");
}

TEST(FileSystem, TheDefaultHomeIsPerUserAndPerApp) {
    ASSERT_EQ(kDefaultHomeChild, 0);
    testing::TempDir dir;
    const std::string xdg = dir.path() + "/xdg";
    const std::string said =
        defaultFoldersWith({"SORVEL_HOME=", "XDG_DATA_HOME=" + xdg, "HOME=" + dir.path()});
    const std::string home = xdg + "/sorvelkv/com.example.app";
    EXPECT_NE(said.find("HOME=" + home + "\n"), std::string::npos) << said;
    EXPECT_NE(said.find("CLIMB=" + xdg + "/sorvelkv/.._.._etc\n"), std::string::npos) << said;
    EXPECT_NE(said.find("KEYCHAIN=" + home + "-keychain\n"), std::string::npos) << said;
    for (const std::string& folder : {xdg, xdg + "/sorvelkv", home, home + "/Library",
                                      home + "/Library/Preferences", home + "-keychain"}) {
        EXPECT_EQ(modeOf(folder), 0700) << folder << " (created under umask 000)";
    }

    // Without XDG_DATA_HOME (or with a relative one): ~/.local/share.
    for (const char* xdgEntry : {"XDG_DATA_HOME=", "XDG_DATA_HOME=relative/data"}) {
        const std::string user = dir.path() + "/user";
        const std::string fallback = defaultFoldersWith({"SORVEL_HOME=", xdgEntry, "HOME=" + user});
        EXPECT_NE(fallback.find("HOME=" + user + "/.local/share/sorvelkv/com.example.app\n"),
                  std::string::npos)
            << fallback;
        EXPECT_EQ(modeOf(user + "/.local"), 0700);
    }
}

}  // namespace
}  // namespace sorvel::platform
