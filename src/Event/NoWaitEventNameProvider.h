#pragma once

#include <array>
#include <string>

namespace sorvel {

// Decides which events are sent at once instead of waiting in the buffer.
class INoWaitEventNameProvider {
  public:
    virtual ~INoWaitEventNameProvider() = default;
    // The bare event name, without its group.
    virtual bool isNoWaitEvent(const std::string& eventName) const = 0;
};

// The 32 names sent at once; exact, case-sensitive comparison.
class DefaultNowaitEventNameProvider : public INoWaitEventNameProvider {
  public:
    static constexpr std::array<const char*, 32> noWaitEventName{"start_session",
                                                                 "end_session",
                                                                 "daily_first_open",
                                                                 "user_property_changed",
                                                                 "login",
                                                                 "logout",
                                                                 "deeplink_open",
                                                                 "adid_changed",
                                                                 "level_achieved",
                                                                 "tutorial_completed",
                                                                 "character_created",
                                                                 "stage_cleared",
                                                                 "sign_up",
                                                                 "use_credit",
                                                                 "app_update",
                                                                 "invite",
                                                                 "purchase",
                                                                 "refund",
                                                                 "add_to_cart",
                                                                 "add_to_wishlist",
                                                                 "product_view",
                                                                 "category_view",
                                                                 "review_order",
                                                                 "search",
                                                                 "share",
                                                                 "view_home",
                                                                 "list_view",
                                                                 "cart_view",
                                                                 "paymentinfo_added",
                                                                 "set_push",
                                                                 "open_push",
                                                                 "in_app_message_action"};

    bool isNoWaitEvent(const std::string& eventName) const override;
};

}  // namespace sorvel
