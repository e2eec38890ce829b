#include <gtest/gtest.h>

#include "Common/SVLBooleanState.h"
#include "InAppViewFixture.h"

namespace sorvel::testing {
namespace {

using platform::Rect;

class KitTest : public InAppViewTest {};

TEST_F(KitTest, ImpressionCarriesTheImageOfTheViewsOrientation) {
    auto window = screen(true);
    auto f = messageFields("modal", "text");
    f.portraitImage = solidImage(3, 2);
    f.portraitImageURL = "https://img/p.png";
    f.isPortraitImageDownloaded = true;
    f.landscapeImageURL = "https://img/l.png";
    show<ModalText>(window, f);
    ASSERT_EQ(events_.size(), 1u);
    const LogEventParameter& e = events_[0];
    EXPECT_EQ(e.group, "svl");
    EXPECT_EQ(e.eventName, "in_app_message_action");
    EXPECT_EQ(*e.eventParam.at("svl:gf:event_type").getString(), "string:impression");
    EXPECT_EQ(*e.eventParam.at("svl:gf:campaign_id").getString(), "string:cmp-1");
    EXPECT_EQ(*e.eventParam.at("svl:gf:image_url").getString(), "string:https://img/p.png");
    EXPECT_EQ(*e.eventParam.at("svl:gf:is_image_downloaded").getString(), "boolean:true");
    EXPECT_EQ(*e.eventParam.at("svl:gf:image_size").getString(), "long:24");  // 3 x 4 x 2

    // Present image, absent URL: no URL key.
    events_.clear();
    f.portraitImageURL.reset();
    show<ModalText>(window, f);
    EXPECT_EQ(events_[0].eventParam.count("svl:gf:image_url"), 0u);
    EXPECT_EQ(events_[0].eventParam.count("svl:gf:image_size"), 1u);

    // Built in portrait with only a landscape image: two keys only.
    events_.clear();
    f.portraitImage.reset();
    f.landscapeImage = solidImage(5, 5);
    show<ModalText>(window, f);
    EXPECT_EQ(events_[0].eventParam.size(), 2u);
}

TEST_F(KitTest, MakeViewChoosesByTypeAndLayout) {
    struct Row {
        std::string type, layout;
        bool built;
    };
    const std::vector<Row> rows = {
        {"full_screen", "image", true},      {"full_screen", "image_and_text", true},
        {"full_screen", "text", false},      {"modal", "image", true},
        {"modal", "image_and_text", true},   {"modal", "text", true},
        {"modal", "banner", false},          {"sticky_banner", "", true},
        {"sticky_banner", "nonsense", true}, {"Modal", "text", false},
        {" modal", "text", false},           {"modal ", "text", false},
        {"other", "image", false},
    };
    screen(true);
    for (const Row& r : rows) {
        SCOPED_TRACE(r.type + "/" + r.layout);
        events_.clear();
        auto f = messageFields(r.type, r.layout);
        f.portraitImage = solidImage(2, 2);
        std::shared_ptr<const InAppMessage> m = InAppMessage::make(f);
        std::shared_ptr<IAMView> v = m->makeView(sink());
        EXPECT_EQ(v != nullptr, r.built);
        // Only a built view logs an impression.
        EXPECT_EQ(events_.size(), r.built ? 1u : 0u);
    }
    auto m = InAppMessage::make(messageFields("modal", "text"));
    EXPECT_TRUE(std::dynamic_pointer_cast<ModalText>(m->makeView(sink())));
}

TEST_F(KitTest, ControlsTakeTheirLookFromTheMessage) {
    IAMButtonInfo plain;
    auto b = IAMButton::make(plain, "c", nullptr, nullptr);
    EXPECT_EQ(b->title(), "");
    EXPECT_EQ(b->titleLabel()->textColor, platform::Color::systemBlue());
    EXPECT_EQ(b->backgroundColor, platform::Color::white());
    EXPECT_EQ(b->borderColor, platform::Color::systemBlue());
    EXPECT_EQ(b->borderWidth, 1.5);
    EXPECT_EQ(b->heightConstraint, 52);
    EXPECT_EQ(b->cornerRadius, 0);

    plain.bgColor = "#FF0000";
    EXPECT_EQ(IAMButton::make(plain, "c", nullptr, nullptr)->backgroundColor,
              (platform::Color{1, 0, 0, 1}));
    plain.bgColor = "F00";
    EXPECT_EQ(IAMButton::make(plain, "c", nullptr, nullptr)->backgroundColor,
              platform::Color::white());
    plain.bgColor = "80FF0000";
    EXPECT_EQ(IAMButton::make(plain, "c", nullptr, nullptr)->backgroundColor,
              (platform::Color{1, 0, 0, 128.0 / 255}));

    int closes = 0;
    auto x = IAMDefaultCloseButton::make(std::nullopt, std::nullopt, [&] { ++closes; });
    EXPECT_EQ(x->title(), "X");
    EXPECT_EQ(x->titleLabel()->font, (platform::Font{20, false}));
    EXPECT_EQ(x->cornerRadius, 15);
    EXPECT_TRUE(x->clipsToBounds);
    EXPECT_EQ(x->intrinsicContentSize(), (platform::Size{30, 30}));
    x->handleTap();
    EXPECT_EQ(closes, 1);

    auto title = makeTitleLabel(std::nullopt, std::nullopt, std::nullopt);
    EXPECT_EQ(title->textColor, platform::Color::black());
    EXPECT_EQ(title->font, (platform::Font{20, true}));
    EXPECT_EQ(title->textAlignment, platform::TextAlignment::CENTER);
    EXPECT_EQ(makeBodyLabel(std::nullopt, "x", "left")->textAlignment,
              platform::TextAlignment::LEFT);
    EXPECT_EQ(makeBodyLabel(std::nullopt, "x", "LEFT")->textAlignment,
              platform::TextAlignment::CENTER);

    auto spinner = SpinnerView::make();
    spinner->setFrame(Rect(0, 0, 100, 60));
    spinner->layoutIfNeeded();
    EXPECT_EQ(spinner->indicator()->frame(), Rect(30, 10, 40, 40));
    EXPECT_TRUE(spinner->indicator()->isAnimating());
    EXPECT_EQ(spinner->indicator()->color, platform::Color::darkGray());

    // A thousand buttons share the row without trouble.
    std::vector<IAMButtonInfo> many(1000, button("m", "close"));
    auto stack = IAMButtonStack::make(many, "c", nullptr, nullptr);
    stack->setFrame(Rect(0, 0, 360, 52));
    stack->layoutIfNeeded();
    EXPECT_EQ(stack->arrangedSubviews().size(), 1000u);
    EXPECT_EQ(stack->arrangedSubviews()[999]->frame().width(), 0);
}

// onClick over action types x valid URL, bad URL, no store, no delegate.
TEST_F(KitTest, ClickActionTable) {
    auto store = std::make_shared<FakeViewStore>();
    auto delegate = std::make_shared<RecordingClickDelegate>();
    struct Row {
        std::string type;
        std::optional<std::string> arg;
        bool withStore;
        bool withDelegate;
        std::vector<std::string> calls;  // "close", "click:<id>"
        bool isClosed;
        std::string opened;
        std::string logLine;
    };
    const std::string url = "https://example.com/path?q=1";
    const std::vector<Row> rows = {
        {"close", std::nullopt, true, true, {"close", "click:a"}, true, "", ""},
        {"weblink", url, true, true, {"click:a"}, false, url, ""},
        {"deeplink", "app://open/item", true, true, {"click:a"}, false, "app://open/item", ""},
        {"weblink_and_close", url, true, true, {"click:a", "close"}, true, url, ""},
        {"deeplink_and_close", url, true, false, {"click:a", "close"}, true, url, ""},
        {"weblink",
         "not a url",
         true,
         true,
         {},
         false,
         "",
         "onClick :: can not get url from actionArg, actionArg : Optional(\"not a url\")"},
        {"weblink_and_close",
         std::nullopt,
         true,
         true,
         {},
         true,
         "",
         "onClick :: can not get url from actionArg, actionArg : nil"},
        {"deeplink",
         "relative/path",
         true,
         true,
         {},
         false,
         "",
         "onClick :: can not get url from actionArg"},
        {"dont_show_me_today_and_close",
         std::nullopt,
         true,
         true,
         {"click:a", "close"},
         true,
         "",
         ""},
        {"dont_show_me_today_and_close",
         std::nullopt,
         false,
         true,
         {},
         true,
         "",
         "onClick :: inAppMessageDAO or weekday is nil"},
        {"CLOSE",
         std::nullopt,
         true,
         true,
         {},
         false,
         "",
         "onClick :: unknown clickActionType, clickActionType : Optional(\"CLOSE\")"},
        {"close ", std::nullopt, true, false, {}, false, "", "onClick :: unknown clickActionType"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.type + " " + r.arg.value_or("<none>"));
        delegate->calls.clear();
        opened_.clear();
        log_.clear();
        InAppViewHooks::setStoreProvider(
            [&]() -> std::shared_ptr<IInAppViewStore> { return r.withStore ? store : nullptr; });
        InAppViewHooks::setClickDelegateProvider(
            [&]() -> std::shared_ptr<SorvelKVInAppMessageClickDelegate> {
                return r.withDelegate ? delegate : nullptr;
            });
        std::vector<std::string> calls;
        onClick(
            "cmp", ClickAction{"a", r.type, r.arg}, [&] { calls.push_back("close"); },
            [&](const std::string& id) { calls.push_back("click:" + id); });
        EXPECT_EQ(calls, r.calls);
        if (r.withDelegate) {
            ASSERT_EQ(delegate->calls.size(), 1u);
            EXPECT_EQ(delegate->calls[0].actionId, "a");
            EXPECT_EQ(delegate->calls[0].actionType, r.type);
            EXPECT_EQ(delegate->calls[0].actionArg, r.arg.value_or(""));
            EXPECT_EQ(delegate->calls[0].isClosed, r.isClosed);
        } else {
            EXPECT_TRUE(delegate->calls.empty());
        }
        EXPECT_EQ(opened_, r.opened.empty() ? std::vector<std::string>{}
                                            : std::vector<std::string>{r.opened});
        SvlLog::flush();
        if (!r.logLine.empty()) {
            EXPECT_TRUE(log_.contains(r.logLine));
        }
    }
    ASSERT_EQ(store->closes().size(), 1u);
    EXPECT_EQ(store->closes()[0].rfind("cmp|", 0), 0u);

    // An absent action id reaches the delegate and the click as "".
    InAppViewHooks::setClickDelegateProvider([&] { return delegate; });
    delegate->calls.clear();
    std::string clicked = "unset";
    onClick("cmp", ClickAction{std::nullopt, "close", std::nullopt}, nullptr,
            [&](const std::string& id) { clicked = id; });
    EXPECT_EQ(clicked, "");
    EXPECT_EQ(delegate->calls.at(0).actionId, "");
}

TEST_F(KitTest, ButtonTapLogsClickAndClosesInOrder) {
    auto window = screen(true);
    auto f = messageFields("modal", "text");
    f.buttonArray = {button("first", "close"), button("web", "weblink_and_close", "https://a.b/")};
    auto view = show<ModalText>(window, f);
    // The second button: right half of the row at the card's bottom.
    const auto& second = view->buttonStack()->arrangedSubviews()[1];
    const platform::Point centre =
        second->convertTo(platform::Point{second->frame().width() / 2, 26}, nullptr);
    EXPECT_TRUE(window->tap(centre));
    EXPECT_TRUE(view->isClosed());
    ASSERT_EQ(events_.size(), 2u);
    EXPECT_EQ(*events_[1].eventParam.at("svl:gf:event_type").getString(), "string:click");
    EXPECT_EQ(*events_[1].eventParam.at("svl:gf:action_id").getString(), "string:web");
    EXPECT_EQ(opened_, std::vector<std::string>{"https://a.b/"});
    // The view is gone once nothing holds it; its closures held it weakly.
    std::weak_ptr<ModalText> weak = view;
    view.reset();
    EXPECT_TRUE(weak.expired());
}

}  // namespace
}  // namespace sorvel::testing
