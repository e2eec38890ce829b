#include "Platform/Keychain.h"
#include "Platform/FileSystem.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <vector>

#include "Common/KeyChain.h"
#include "Platform/Bundle.h"
#include "Platform/Host.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

namespace fs = std::filesystem;
using platform::Keychain;
using platform::KeychainStatus;

// When this program is started as the "other process" of the tests below, it
// reads one item and reports it through its exit status (0 read, 3 not found,
// 4 I/O error, 5 anything else) and a file, before any test runs. Asked to,
// it reads with no file descriptor left to open.
int runAsReaderIfAsked() {
    const char* folder = std::getenv("SORVEL_KEYCHAIN_READER_FOLDER");
    const char* account = std::getenv("SORVEL_KEYCHAIN_READER_ACCOUNT");
    const char* out = std::getenv("SORVEL_KEYCHAIN_READER_OUT");
    if (folder == nullptr || account == nullptr || out == nullptr) {
        return 0;
    }
    platform::host::setKeychainFolder(folder);
    const bool noDescriptors = std::getenv("SORVEL_KEYCHAIN_READER_NO_FDS") != nullptr;
    struct rlimit before {};
    if (noDescriptors) {
        // The lowest free descriptor becomes the limit: every open now fails
        // with EMFILE.
        const int lowest = ::dup(0);
        ::close(lowest);
        ::getrlimit(RLIMIT_NOFILE, &before);
        struct rlimit none = before;
        none.rlim_cur = static_cast<rlim_t>(lowest);
        if (lowest < 0 || ::setrlimit(RLIMIT_NOFILE, &none) != 0) {
            std::_Exit(6);
        }
    }
    std::string data;
    const KeychainStatus status = Keychain::read(Util_keychain::SERVICE, account, data);
    if (noDescriptors) {
        ::setrlimit(RLIMIT_NOFILE, &before);
    }
    std::ofstream(out) << data;
    switch (status) {
        case KeychainStatus::SUCCESS:
            std::_Exit(0);
        case KeychainStatus::ITEM_NOT_FOUND:
            std::_Exit(3);
        case KeychainStatus::IO_ERROR:
            std::_Exit(4);
        default:
            std::_Exit(5);
    }
}
const int kReaderDone = runAsReaderIfAsked();

// Runs this test program as a second process reading the item; returns its
// exit status and what it read.
std::pair<int, std::string> readFromAnotherProcess(const std::string& folder,
                                                   const std::string& account,
                                                   const std::string& outFile,
                                                   bool noDescriptors = false) {
    int out = -1;
    std::vector<std::string> env = {"SORVEL_KEYCHAIN_READER_FOLDER=" + folder,
                                    "SORVEL_KEYCHAIN_READER_ACCOUNT=" + account,
                                    "SORVEL_KEYCHAIN_READER_OUT=" + outFile};
    if (noDescriptors) {
        env.push_back("SORVEL_KEYCHAIN_READER_NO_FDS=1");
    }
    const int pid = testing::spawnSelf(env, out);
    if (pid < 0) {
        return {-1, ""};
    }
    close(out);
    int status = 0;
    if (!testing::waitForExit(pid, std::chrono::seconds(30), status)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << "the reading process did not end";
        return {-1, ""};
    }
    std::ifstream in(outFile);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, data};
}

TEST(Keychain, DeviceIdSaveGetDeleteAndMissingItem) {
    testing::FreshSdk sdk;
    ASSERT_EQ(kReaderDone, 0);
    platform::host::setBundleId("com.example.shop");
    auto keychain = Util_keychain::shared();
    EXPECT_EQ(Util_keychain::account(), "sorvel_adid_key_com.example.shop");

    // Nothing stored yet: reading and deleting report the missing item.
    auto missing = keychain->getAdid();
    ASSERT_TRUE(std::holds_alternative<KeyChainError>(missing));
    EXPECT_EQ(std::get<KeyChainError>(missing).status, KeychainStatus::ITEM_NOT_FOUND);
    auto del = keychain->deleteAdid();
    ASSERT_TRUE(del.has_value());
    EXPECT_EQ(del->status, KeychainStatus::ITEM_NOT_FOUND);

    EXPECT_FALSE(keychain->saveAdid("ADID-1").has_value());
    EXPECT_EQ(std::get<std::string>(keychain->getAdid()), "ADID-1");
    // Upsert: a second save replaces the value.
    EXPECT_FALSE(keychain->saveAdid("ADID-2").has_value());
    EXPECT_EQ(std::get<std::string>(keychain->getAdid()), "ADID-2");

    // Another app (bundle id) has its own item.
    platform::host::setBundleId("com.example.other");
    EXPECT_TRUE(std::holds_alternative<KeyChainError>(keychain->getAdid()));
    platform::host::setBundleId("com.example.shop");

    // The item lives outside the app's home, owner-only, and survives a wipe of the home.
    const std::string folder = platform::keychainFolder();
    EXPECT_NE(folder.rfind(sdk.home(), 0), 0u) << folder << " is inside " << sdk.home();
    std::size_t files = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        ++files;
        struct stat st {};
        ASSERT_EQ(::stat(entry.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << entry.path();
    }
    EXPECT_EQ(files, 1u) << "no temp files left behind";
    for (const auto& entry : fs::directory_iterator(sdk.home())) {
        fs::remove_all(entry.path());
    }
    EXPECT_EQ(std::get<std::string>(keychain->getAdid()), "ADID-2");

    EXPECT_FALSE(keychain->deleteAdid().has_value());
    EXPECT_EQ(std::get<KeyChainError>(keychain->getAdid()).status, KeychainStatus::ITEM_NOT_FOUND);
    EXPECT_EQ(keychain->deleteAdid()->status, KeychainStatus::ITEM_NOT_FOUND);
}

TEST(Keychain, AnotherProcessReadsTheItem) {
    testing::FreshSdk sdk;
    const std::string account = "sorvel_adid_key_com.example.shop";
    const std::string value("7D1C\n\0binary\xff", 13);
    ASSERT_EQ(Keychain::save(Util_keychain::SERVICE, account, value), KeychainStatus::SUCCESS);
    const std::string out = sdk.home() + "/reader.out";
    auto [status, read] = readFromAnotherProcess(platform::keychainFolder(), account, out);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read, value);

    ASSERT_EQ(Keychain::remove(Util_keychain::SERVICE, account), KeychainStatus::SUCCESS);
    auto [gone, nothing] = readFromAnotherProcess(platform::keychainFolder(), account, out);
    EXPECT_EQ(gone, 3);
    EXPECT_EQ(nothing, "");
}

TEST(Keychain, CorruptOrForeignFilesAreNotItems) {
    testing::FreshSdk sdk;
    ASSERT_EQ(Keychain::save("svc", "acct", "value"), KeychainStatus::SUCCESS);
    const std::string folder = platform::keychainFolder();
    fs::path item;
    for (const auto& entry : fs::directory_iterator(folder)) {
        item = entry.path();
    }
    ASSERT_FALSE(item.empty());
    std::string data;
    for (const char* garbage : {"", "SVLKC1\n", "SVLKC1\n3\nsvc4\nacct99\nvalue", "junk",
                                "SVLKC1\n3\nsvc4\nacct5\nvalueEXTRA"}) {
        std::ofstream(item, std::ios::trunc) << garbage;
        EXPECT_EQ(Keychain::read("svc", "acct", data), KeychainStatus::DECODE) << garbage;
    }
    // A save repairs it.
    ASSERT_EQ(Keychain::save("svc", "acct", "fresh"), KeychainStatus::SUCCESS);
    ASSERT_EQ(Keychain::read("svc", "acct", data), KeychainStatus::SUCCESS);
    EXPECT_EQ(data, "fresh");
    // Service and account are separate parts of the key.
    EXPECT_EQ(Keychain::read("svca", "cct", data), KeychainStatus::ITEM_NOT_FOUND);
    EXPECT_EQ(Keychain::read("", "svcacct", data), KeychainStatus::ITEM_NOT_FOUND);
}

TEST(Keychain, AnItemThatCannotBeReadNowIsAnIoErrorNotAMissingOne) {
    testing::FreshSdk sdk;
    const std::string account = "sorvel_adid_key_com.example.shop";
    ASSERT_EQ(Keychain::save(Util_keychain::SERVICE, account, "ADID-1"), KeychainStatus::SUCCESS);
    const std::string folder = platform::keychainFolder();
    fs::path item;
    for (const auto& entry : fs::directory_iterator(folder)) {
        item = entry.path();
    }
    ASSERT_FALSE(item.empty());

    // No file descriptor left (EMFILE), in a process of its own.
    const std::string out = sdk.home() + "/reader.out";
    EXPECT_EQ(readFromAnotherProcess(folder, account, out, true).first, 4);
    EXPECT_EQ(readFromAnotherProcess(folder, account, out).first, 0) << "readable again";

    std::string data;
    const fs::path aside = item.string() + ".aside";
    fs::rename(item, aside);
    // A folder where the item file belongs.
    fs::create_directory(item);
    EXPECT_EQ(Keychain::read(Util_keychain::SERVICE, account, data), KeychainStatus::IO_ERROR);
    EXPECT_EQ(Keychain::save(Util_keychain::SERVICE, account, "ADID-2"), KeychainStatus::IO_ERROR);
    fs::remove(item);
    // A FIFO where the item file belongs: answered at once, never waiting for
    // a writer.
    ASSERT_EQ(::mkfifo(item.c_str(), 0600), 0);
    auto reading = std::async(std::launch::async, [&] {
        std::string ignored;
        return Keychain::read(Util_keychain::SERVICE, account, ignored);
    });
    if (reading.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        // Let the stuck reader go before failing.
        const int w = ::open(item.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        ::close(w);
        ADD_FAILURE() << "reading an item that is a FIFO blocked";
    }
    EXPECT_EQ(reading.get(), KeychainStatus::IO_ERROR);
    fs::remove(item);

    fs::rename(aside, item);
    ASSERT_EQ(Keychain::read(Util_keychain::SERVICE, account, data), KeychainStatus::SUCCESS);
    EXPECT_EQ(data, "ADID-1");
}

}  // namespace
}  // namespace sorvel
