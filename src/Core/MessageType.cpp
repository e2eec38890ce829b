#include "Core/MessageType.h"

#include <array>
#include <utility>

namespace sorvel {
namespace {

template <std::size_t... I>
constexpr bool kindsInOrder(std::index_sequence<I...>) {
    return ((std::variant_alternative_t<I, Message>::kType == static_cast<MessageType>(I)) && ...);
}
static_assert(kindsInOrder(std::make_index_sequence<kMessageTypeCount>{}),
              "Message's alternatives must follow MessageType's order");
static_assert(static_cast<std::size_t>(MessageType::CLEAR_ALL_ACTION_HISTORY_IN_LOCAL_DB) + 1 ==
              kMessageTypeCount);

template <std::size_t... I>
constexpr std::array<const char*, kMessageTypeCount> namesOf(std::index_sequence<I...>) {
    return {std::variant_alternative_t<I, Message>::kName...};
}
constexpr auto kNames = namesOf(std::make_index_sequence<kMessageTypeCount>{});

}  // namespace

const char* messageTypeName(MessageType type) noexcept {
    auto i = static_cast<std::size_t>(type);
    return i < kNames.size() ? kNames[i] : "";
}

}  // namespace sorvel
