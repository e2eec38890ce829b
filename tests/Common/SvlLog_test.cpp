#include "Common/SvlLog.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>

#include "Platform/Host.h"
#include "Platform/SystemLog.h"
#include "support/CommonSupport.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

using testing::DelegateLog;
using testing::FreshSdk;
using testing::LogCapture;

// Each road of the rule, with a low and a high level: quality-assurance mode
// sends every line to the system log and nothing to the delegate; otherwise a
// delegate gets every line, a qaOnly line goes no further, and any other line
// also reaches the system log when it is a warning or an error. wouldDeliver
// answers the same. A line of the platform layer is never qaOnly.
TEST(SvlLogTest, RoutingMatrix) {
    struct Route {
        bool qaMode;
        bool hasDelegate;
        bool qaOnly;
        SorvelLogLevel level;
        bool expectDelegate;
        bool expectSystemLog;
    };
    using L = SorvelLogLevel;
    const Route routes[] = {
        // A shipped app: only the warnings and errors that are not qaOnly.
        {false, false, false, L::LEVEL_DEBUG, false, false},
        {false, false, false, L::LEVEL_INFO, false, false},
        {false, false, false, L::LEVEL_WARNING, false, true},
        {false, false, false, L::LEVEL_ERROR, false, true},
        {false, false, true, L::LEVEL_DEBUG, false, false},
        {false, false, true, L::LEVEL_WARNING, false, false},
        {false, false, true, L::LEVEL_ERROR, false, false},
        // A delegate gets everything; the system log what it gets without one.
        {false, true, false, L::LEVEL_DEBUG, true, false},
        {false, true, false, L::LEVEL_WARNING, true, true},
        {false, true, false, L::LEVEL_ERROR, true, true},
        {false, true, true, L::LEVEL_DEBUG, true, false},
        {false, true, true, L::LEVEL_ERROR, true, false},
        // Quality-assurance mode: everything to the system log, delegate or not.
        {true, false, false, L::LEVEL_DEBUG, false, true},
        {true, false, true, L::LEVEL_DEBUG, false, true},
        {true, false, true, L::LEVEL_ERROR, false, true},
        {true, true, false, L::LEVEL_INFO, false, true},
        {true, true, true, L::LEVEL_DEBUG, false, true},
        {true, true, true, L::LEVEL_WARNING, false, true},
    };
    for (const auto& r : routes) {
        SCOPED_TRACE(::testing::Message()
                     << "qa=" << r.qaMode << " delegate=" << r.hasDelegate << " qaOnly=" << r.qaOnly
                     << " level=" << SvlLog::levelName(r.level));
        FreshSdk sdk;
        LogCapture capture;
        if (r.qaMode) {
            platform::host::setInfo(SvlLog::QA_MODE_INFO_KEY, Value(true));
        }
        SvlLog::initQaMode(nullptr);
        // Later changes of the Info key do not flip the decision.
        platform::host::setInfo(SvlLog::QA_MODE_INFO_KEY, Value(!r.qaMode));
        SvlLog::initQaMode(nullptr);
        EXPECT_EQ(SvlLog::isQaMode(), r.qaMode);

        std::optional<DelegateLog> delegate;
        if (r.hasDelegate) {
            delegate.emplace();
        }
        EXPECT_EQ(SvlLog::wouldDeliver(r.level, r.qaOnly), r.expectDelegate || r.expectSystemLog);
        SvlLog::log(r.level, "Routing :: line", r.qaOnly);
        if (!r.qaOnly) {
            // A line of the platform layer, at the same level, goes alike.
            platform::SystemLog::log(static_cast<platform::LogLevel>(r.level), "Platform :: line");
        }
        SvlLog::flush();
        std::vector<DelegateLog::Line> wantDelegate;
        std::vector<std::string> wantSystemLog;
        const std::string prefix = std::string("svlkv [") + SvlLog::levelName(r.level) + "]: ";
        const std::vector<std::string> logged =
            r.qaOnly ? std::vector<std::string>{"Routing :: line"}
                     : std::vector<std::string>{"Routing :: line", "Platform :: line"};
        for (const std::string& text : logged) {
            if (r.expectDelegate) {
                wantDelegate.emplace_back(r.level, text);
            }
            if (r.expectSystemLog) {
                wantSystemLog.push_back(prefix + text);
            }
        }
        EXPECT_EQ(delegate ? delegate->lines() : std::vector<DelegateLog::Line>{}, wantDelegate);
        EXPECT_EQ(capture.lines(), wantSystemLog);
    }
    // Only a Bool Info key turns quality-assurance mode on.
    FreshSdk sdk;
    platform::host::setInfo(SvlLog::QA_MODE_INFO_KEY, Value(1));
    SvlLog::initQaMode(nullptr);
    EXPECT_FALSE(SvlLog::isQaMode());
}

// A delegate that throws loses no error the developer must see: the line goes
// on where it goes without a delegate, after a line saying the delegate threw.
TEST(SvlLogTest, AThrowingDelegateLeavesErrorsOnTheSystemLog) {
    FreshSdk sdk;
    LogCapture capture;
    struct Throwing : SorvelKVLogDelegate {
        void didPrintLog(SorvelLogLevel, const std::string&) override {
            throw std::runtime_error("app fault");
        }
    };
    SvlLog::setLogDelegate(std::make_shared<Throwing>());
    SvlLog::debug("Throwing :: debug", false);
    SvlLog::error("Throwing :: qa error", true);
    SvlLog::error("Throwing :: error", false);
    SvlLog::flush();
    EXPECT_EQ(capture.lines(),
              (std::vector<std::string>{"svlkv [error]: SvlLog :: log delegate threw",
                                        "svlkv [error]: SvlLog :: log delegate threw",
                                        "svlkv [error]: SvlLog :: log delegate threw",
                                        "svlkv [error]: Throwing :: error"}));
    SvlLog::setLogDelegate(nullptr);
}

// Without the SDK's logger, the platform layer writes its warnings and errors
// itself, and drops the rest.
TEST(SvlLogTest, PlatformLinesWithoutTheLoggerKeepTheRule) {
    LogCapture capture;
    platform::SystemLog::setRouter(nullptr);
    platform::SystemLog::log(platform::LogLevel::info, "Unrouted :: info");
    platform::SystemLog::log(platform::LogLevel::error, "Unrouted :: error");
    EXPECT_EQ(capture.lines(), std::vector<std::string>{"svlkv [error]: Unrouted :: error"});
    // A fresh logger routes them again.
    FreshSdk sdk;
    DelegateLog delegate;
    platform::SystemLog::log(platform::LogLevel::info, "Routed :: info");
    const std::vector<DelegateLog::Line> want = {{SorvelLogLevel::LEVEL_INFO, "Routed :: info"}};
    EXPECT_EQ(delegate.lines(), want);
}

TEST(SvlLogTest, CutsLongLinesOnCodePointBoundaries) {
    FreshSdk sdk;
    LogCapture capture;
    DelegateLog delegate;

    // 10001 characters of which many take 3 bytes in UTF-8 ("가").
    std::string msg;
    for (int i = 0; i < 10001; ++i) {
        msg += (i % 2 == 0) ? "가" : "a";
    }
    // Meant for quality assurance only: to the delegate alone.
    SvlLog::error(msg, true);
    auto got = delegate.lines();
    SvlLog::setLogDelegate(nullptr);
    // A line that is not goes to the system log.
    SvlLog::error(msg, false);
    SvlLog::flush();
    ASSERT_EQ(got.size(), 1u);
    const std::string& cut = got[0].second;
    // 5000 three-byte and 5000 one-byte characters.
    EXPECT_EQ(cut.size(), 5000u * 3 + 5000u);
    EXPECT_EQ(got[0].first, SorvelLogLevel::LEVEL_ERROR);

    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 10u);
    std::string joined;
    const std::string prefix = "svlkv [error]: ";
    for (const auto& l : lines) {
        ASSERT_EQ(l.rfind(prefix, 0), 0u);
        std::string piece = l.substr(prefix.size());
        // Every piece holds 1000 whole characters: 500 of each kind.
        EXPECT_EQ(piece.size(), 500u * 3 + 500u);
        joined += piece;
    }
    EXPECT_EQ(joined, cut);

    // A short line stays whole; an empty line still reaches the log once.
    capture.clear();
    SvlLog::warning("", false);
    SvlLog::flush();
    EXPECT_EQ(capture.lines().size(), 1u);
}

TEST(SvlLogTest, MalformedUtf8IsCutLikeAnyText) {
    // Each ill-formed run of bytes is one character. A unit is repeated past
    // the cut; charBytes lists the byte length of each character in it.
    struct Case {
        const char* what;
        std::string unit;
        std::vector<std::size_t> charBytes;
    };
    const std::vector<Case> cases = {
        {"stray continuation bytes", "\x80", {1}},
        {"overlong three-byte form", "\xE0\x80\x80", {1, 1, 1}},
        {"truncated four-byte sequence, then ASCII",
         "\xF0\x9F\x98"
         "A",
         {3, 1}},
        {"well-formed character with a stray byte after it", "\xE2\x82\xAC\xBF", {3, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FreshSdk sdk;
        LogCapture capture;
        DelegateLog delegate;

        std::string msg;
        while (msg.size() < 30000) {
            msg += c.unit;
        }
        // The first 10000 characters, and their pieces of 1000.
        std::string cut;
        std::vector<std::string> pieces(10);
        for (std::size_t ch = 0, at = 0; ch < SvlLog::MAX_MESSAGE_CHARS; ++ch) {
            const std::size_t n = c.charBytes[ch % c.charBytes.size()];
            cut += msg.substr(at, n);
            pieces[ch / SvlLog::MAX_PIECE_CHARS] += msg.substr(at, n);
            at += n;
        }
        SvlLog::info(msg, false);
        auto got = delegate.lines();
        SvlLog::setLogDelegate(nullptr);
        SvlLog::warning(msg, false);
        SvlLog::flush();
        ASSERT_EQ(got.size(), 1u);
        // Sizes first: a failure then shows numbers, not kilobytes of bytes.
        EXPECT_EQ(got[0].second.size(), cut.size());
        EXPECT_TRUE(got[0].second == cut);
        const auto lines = capture.lines();
        ASSERT_EQ(lines.size(), pieces.size());
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            const std::string want = "svlkv [warning]: " + pieces[i];
            EXPECT_EQ(lines[i].size(), want.size()) << "piece " << i;
            EXPECT_TRUE(lines[i] == want) << "piece " << i;
        }
    }
}

TEST(SvlLogTest, DelegateMayLogAgainWithoutDeadlock) {
    FreshSdk sdk;
    LogCapture capture;
    struct Reentrant : SorvelKVLogDelegate {
        std::atomic<int> calls{0};
        void didPrintLog(SorvelLogLevel, const std::string& log) override {
            if (calls++ == 0) {
                SvlLog::info("nested :: from delegate after " + log, true);
            }
            testing::notifyWaiters();
        }
    };
    auto delegate = std::make_shared<Reentrant>();
    SvlLog::setLogDelegate(delegate);
    SvlLog::info("outer", true);
    ASSERT_TRUE(testing::waitUntil([&] { return delegate->calls.load() >= 2; }));
    SvlLog::flush();
    EXPECT_EQ(delegate->calls.load(), 2);
    SvlLog::setLogDelegate(nullptr);
}

}  // namespace
}  // namespace sorvel
