#include "Platform/Keychain.h"
#include "Platform/FileSystem.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "Base/Hex.h"
#include "Common/KeyChain.h"
#include "Platform/Bundle.h"
#include "Platform/Host.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

namespace fs = std::filesystem;
using platform::Keychain;
using platform::KeychainStatus;

// What a reading of the keychain gives, as the reading process prints it.
std::string reading(KeychainStatus status, const std::string& data) {
    return std::string(platform::keychainStatusName(status)) + " " +
           text::toHex({reinterpret_cast<const std::uint8_t*>(data.data()), data.size()}) +
           " END\n";
}

// When this program is started as the "other process" of the tests below, it
// reads one item before any test runs and prints the reading. Asked to, it
// reads with no file descriptor left to open.
int runAsReaderIfAsked() {
    const char* folder = std::getenv("SORVEL_KEYCHAIN_READER_FOLDER");
    const char* account = std::getenv("SORVEL_KEYCHAIN_READER_ACCOUNT");
    if (folder == nullptr || account == nullptr) {
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
    std::fputs(reading(status, data).c_str(), stdout);
    std::fflush(stdout);
    std::_Exit(0);
}
const int kReaderDone = runAsReaderIfAsked();

std::string readFromAnotherProcess(const std::string& account, bool noDescriptors = false) {
    std::vector<std::string> env = {"SORVEL_KEYCHAIN_READER_FOLDER=" + platform::keychainFolder(),
                                    "SORVEL_KEYCHAIN_READER_ACCOUNT=" + account};
    if (noDescriptors) {
        env.push_back("SORVEL_KEYCHAIN_READER_NO_FDS=1");
    }
    return testing::runSelf(env, "END");
}

// The one item file in the keychain folder.
fs::path onlyItem() {
    std::vector<fs::path> items;
    for (const auto& entry : fs::directory_iterator(platform::keychainFolder())) {
        items.push_back(entry.path());
    }
    EXPECT_EQ(items.size(), 1u);
    return items.empty() ? fs::path() : items[0];
}

TEST(Keychain, DeviceIdSaveGetDeleteAndMissingItem) {
    testing::FreshSdk sdk;
    ASSERT_EQ(kReaderDone, 0);
    platform::host::setBundleId("com.example.shop");
    auto keychain = Util_keychain::shared();
    EXPECT_EQ(Util_keychain::account(), "sorvel_adid_key_com.example.shop");

    // Nothing stored yet: reading and deleting report the missing item.
    auto missing = keychain->getAdid();
    ASSERT_FALSE(missing.isOk());
    EXPECT_EQ(missing.error().status, KeychainStatus::ITEM_NOT_FOUND);
    auto del = keychain->deleteAdid();
    ASSERT_FALSE(del.isOk());
    EXPECT_EQ(del.error().status, KeychainStatus::ITEM_NOT_FOUND);

    EXPECT_TRUE(keychain->saveAdid("ADID-1").isOk());
    EXPECT_EQ(keychain->getAdid().value(), "ADID-1");
    // Upsert: a second save replaces the value.
    EXPECT_TRUE(keychain->saveAdid("ADID-2").isOk());
    EXPECT_EQ(keychain->getAdid().value(), "ADID-2");

    // Another app (bundle id) has its own item.
    platform::host::setBundleId("com.example.other");
    EXPECT_FALSE(keychain->getAdid().isOk());
    platform::host::setBundleId("com.example.shop");

    // The item lives outside the app's home, owner-only, and survives a wipe of the home.
    const std::string folder = platform::keychainFolder();
    EXPECT_NE(folder.rfind(sdk.home(), 0), 0u) << folder << " is inside " << sdk.home();
    EXPECT_EQ(testing::modeOf(onlyItem()), 0600) << "one private file, no temp files left";
    for (const auto& entry : fs::directory_iterator(sdk.home())) {
        fs::remove_all(entry.path());
    }
    EXPECT_EQ(keychain->getAdid().value(), "ADID-2");

    EXPECT_TRUE(keychain->deleteAdid().isOk());
    EXPECT_EQ(keychain->getAdid().error().status, KeychainStatus::ITEM_NOT_FOUND);
    EXPECT_EQ(keychain->deleteAdid().error().status, KeychainStatus::ITEM_NOT_FOUND);
}

TEST(Keychain, AnotherProcessReadsTheItem) {
    testing::FreshSdk sdk;
    const std::string account = "sorvel_adid_key_com.example.shop";
    const std::string value("7D1C\n\0binary\xff", 13);
    ASSERT_EQ(Keychain::save(Util_keychain::SERVICE, account, value), KeychainStatus::SUCCESS);
    EXPECT_EQ(readFromAnotherProcess(account), reading(KeychainStatus::SUCCESS, value));
    ASSERT_EQ(Keychain::remove(Util_keychain::SERVICE, account), KeychainStatus::SUCCESS);
    EXPECT_EQ(readFromAnotherProcess(account), reading(KeychainStatus::ITEM_NOT_FOUND, ""));
}

TEST(Keychain, CorruptOrForeignFilesAreNotItems) {
    testing::FreshSdk sdk;
    ASSERT_EQ(Keychain::save("svc", "acct", "value"), KeychainStatus::SUCCESS);
    const fs::path item = onlyItem();
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
    const fs::path item = onlyItem();
    ASSERT_FALSE(item.empty());

    // No file descriptor left (EMFILE), in a process of its own.
    EXPECT_EQ(readFromAnotherProcess(account, true), reading(KeychainStatus::IO_ERROR, ""));
    EXPECT_EQ(readFromAnotherProcess(account), reading(KeychainStatus::SUCCESS, "ADID-1"));

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
    auto read = [&] {
        EXPECT_EQ(Keychain::read(Util_keychain::SERVICE, account, data), KeychainStatus::IO_ERROR);
    };
    EXPECT_TRUE(testing::endsWithin(std::chrono::seconds(10), read, [&] {
        testing::freeFifoReader(item);
    })) << "reading an item that is a FIFO blocked";
    fs::remove(item);

    fs::rename(aside, item);
    ASSERT_EQ(Keychain::read(Util_keychain::SERVICE, account, data), KeychainStatus::SUCCESS);
    EXPECT_EQ(data, "ADID-1");
}

}  // namespace
}  // namespace sorvel
