#include "sorvel/SorvelKVDelegates.h"

namespace sorvel {
namespace {

class DeferredDeeplinkFn final : public SorvelKVDeferredDeeplinkDelegate {
  public:
    explicit DeferredDeeplinkFn(std::function<void(const std::string&)> fn) : fn_(std::move(fn)) {}
    void didReceiveDeferredDeeplink(const std::string& deeplink) override {
        if (fn_) {
            fn_(deeplink);
        }
    }

  private:
    std::function<void(const std::string&)> fn_;
};

class DeeplinkFn final : public SorvelKVDeeplinkDelegate {
  public:
    explicit DeeplinkFn(std::function<void(const std::string&)> fn) : fn_(std::move(fn)) {}
    void didReceiveDeeplink(const std::string& deeplink) override {
        if (fn_) {
            fn_(deeplink);
        }
    }

  private:
    std::function<void(const std::string&)> fn_;
};

using PushFn = std::function<void(const Value::Map&, SorvelKvApplicationState)>;

class PushLocalFn final : public SorvelKvPushLocalDelegate {
  public:
    explicit PushLocalFn(PushFn fn) : fn_(std::move(fn)) {}
    void pushLocalCallback(const Value::Map& data, SorvelKvApplicationState state) override {
        if (fn_) {
            fn_(data, state);
        }
    }

  private:
    PushFn fn_;
};

class PushRemoteFn final : public SorvelKvPushRemoteDelegate {
  public:
    explicit PushRemoteFn(PushFn fn) : fn_(std::move(fn)) {}
    void pushRemoteCallback(const Value::Map& data, SorvelKvApplicationState state) override {
        if (fn_) {
            fn_(data, state);
        }
    }

  private:
    PushFn fn_;
};

class LogFn final : public SorvelKVLogDelegate {
  public:
    explicit LogFn(std::function<void(SorvelLogLevel, const std::string&)> fn)
        : fn_(std::move(fn)) {}
    void didPrintLog(SorvelLogLevel level, const std::string& log) override {
        if (fn_) {
            fn_(level, log);
        }
    }

  private:
    std::function<void(SorvelLogLevel, const std::string&)> fn_;
};

using ClickFn =
    std::function<void(const std::string&, const std::string&, const std::string&, bool)>;

class InAppMessageClickFn final : public SorvelKVInAppMessageClickDelegate {
  public:
    explicit InAppMessageClickFn(ClickFn fn) : fn_(std::move(fn)) {}
    void onReceiveInAppMessageClick(const std::string& actionId, const std::string& actionType,
                                    const std::string& actionArg, bool isClosed) override {
        if (fn_) {
            fn_(actionId, actionType, actionArg, isClosed);
        }
    }

  private:
    ClickFn fn_;
};

using PopupFn = std::function<void(const std::string&, const Value::Map&)>;

class PopupLinkClickFn final : public SorvelKvPushNoticePopupLinkClickDelegate {
  public:
    explicit PopupLinkClickFn(PopupFn fn) : fn_(std::move(fn)) {}
    void noticePopupLinkClickCallback(const std::string& key, const Value::Map& data) override {
        if (fn_) {
            fn_(key, data);
        }
    }

  private:
    PopupFn fn_;
};

class PopupCloseFn final : public SorvelKvPushNoticePopupCloseDelegate {
  public:
    explicit PopupCloseFn(PopupFn fn) : fn_(std::move(fn)) {}
    void noticePopupCloseCallback(const std::string& key, const Value::Map& data) override {
        if (fn_) {
            fn_(key, data);
        }
    }

  private:
    PopupFn fn_;
};

}  // namespace

std::shared_ptr<SorvelKVDeferredDeeplinkDelegate> makeDeferredDeeplinkDelegate(
    std::function<void(const std::string& deeplink)> fn) {
    return std::make_shared<DeferredDeeplinkFn>(std::move(fn));
}

std::shared_ptr<SorvelKVDeeplinkDelegate> makeDeeplinkDelegate(
    std::function<void(const std::string& deeplink)> fn) {
    return std::make_shared<DeeplinkFn>(std::move(fn));
}

std::shared_ptr<SorvelKvPushLocalDelegate> makePushLocalDelegate(
    std::function<void(const Value::Map& data, SorvelKvApplicationState state)> fn) {
    return std::make_shared<PushLocalFn>(std::move(fn));
}

std::shared_ptr<SorvelKvPushRemoteDelegate> makePushRemoteDelegate(
    std::function<void(const Value::Map& data, SorvelKvApplicationState state)> fn) {
    return std::make_shared<PushRemoteFn>(std::move(fn));
}

std::shared_ptr<SorvelKVLogDelegate> makeLogDelegate(
    std::function<void(SorvelLogLevel level, const std::string& log)> fn) {
    return std::make_shared<LogFn>(std::move(fn));
}

std::shared_ptr<SorvelKVInAppMessageClickDelegate> makeInAppMessageClickDelegate(
    std::function<void(const std::string& actionId, const std::string& actionType,
                       const std::string& actionArg, bool isClosed)>
        fn) {
    return std::make_shared<InAppMessageClickFn>(std::move(fn));
}

std::shared_ptr<SorvelKvPushNoticePopupLinkClickDelegate> makePushNoticePopupLinkClickDelegate(
    std::function<void(const std::string& popupSpaceKey, const Value::Map& data)> fn) {
    return std::make_shared<PopupLinkClickFn>(std::move(fn));
}

std::shared_ptr<SorvelKvPushNoticePopupCloseDelegate> makePushNoticePopupCloseDelegate(
    std::function<void(const std::string& popupSpaceKey, const Value::Map& data)> fn) {
    return std::make_shared<PopupCloseFn>(std::move(fn));
}

}  // namespace sorvel
