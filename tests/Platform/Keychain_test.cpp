#include "Platform/Keychain.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "Common/KeyChain.h"
#include "Platform/Bundle.h"
#include "Platform/Host.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

namespace fs = std::filesystem;
using platform::Keychain;
using platform::KeychainStatus;

// When this program is started as the "other process" of the test below, it
// reads one item and reports it through its exit status and a file, before
// any test runs.
int runAsReaderIfAsked() {
    const char* folder = std::getenv("SORVEL_KEYCHAIN_READER_FOLDER");
    const char* account = std::getenv("SORVEL_KEYCHAIN_READER_ACCOUNT");
    const char* out = std::getenv("SORVEL_KEYCHAIN_READER_OUT");
    if (folder == nullptr || account == nullptr || out == nullptr) {
        return 0;
    }
    platform::host::setKeychainFolder(folder);
    std::string data;
    const KeychainStatus status = Keychain::read(Util_keychain::SERVICE, account, data);
    std::ofstream(out) << data;
    std::_Exit(status == KeychainStatus::SUCCESS ? 0 : 3);
}
const int kReaderDone = runAsReaderIfAsked();

// Runs this test program as a second process reading the item; returns its
// exit status and what it read.
std::pair<int, std::string> readFromAnotherProcess(const std::string& folder,
                                                   const std::string& account,
                                                   const std::string& outFile) {
    int out = -1;
    const int pid = testing::spawnSelf(
        {"SORVEL_KEYCHAIN_READER_FOLDER=" + folder, "SORVEL_KEYCHAIN_READER_ACCOUNT=" + account,
         "SORVEL_KEYCHAIN_READER_OUT=" + outFile},
        out);
    if (pid < 0) {
        return {-1, ""};
    }
    close(out);
    int status = 0;
    waitpid(pid, &status, 0);
    std::ifstream in(outFile);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, data};
}

TEST(Keychain, DeviceIdSaveGetDeleteAndMissingItem) {
    testing::FreshSdk sdk;
    ASSERT_EQ(kReaderDone, 0);
    platform::Bundle::setBundleId("com.example.shop");
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
    platform::Bundle::setBundleId("com.example.other");
    EXPECT_TRUE(std::holds_alternative<KeyChainError>(keychain->getAdid()));
    platform::Bundle::setBundleId("com.example.shop");

    // The item lives outside the app's home, owner-only, and survives a wipe of the home.
    const std::string folder = platform::host::keychainFolder();
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
    auto [status, read] = readFromAnotherProcess(platform::host::keychainFolder(), account, out);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read, value);

    ASSERT_EQ(Keychain::remove(Util_keychain::SERVICE, account), KeychainStatus::SUCCESS);
    auto [gone, nothing] = readFromAnotherProcess(platform::host::keychainFolder(), account, out);
    EXPECT_EQ(gone, 3);
    EXPECT_EQ(nothing, "");
}

TEST(Keychain, CorruptOrForeignFilesAreNotItems) {
    testing::FreshSdk sdk;
    ASSERT_EQ(Keychain::save("svc", "acct", "value"), KeychainStatus::SUCCESS);
    const std::string folder = platform::host::keychainFolder();
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

}  // namespace
}  // namespace sorvel
