#include "sorvel/ActionHistoryResult.h"

#include <gtest/gtest.h>

#include <cstring>

#include "ActionHistory/ActionHistoryResultErrors.h"

namespace sorvel {
namespace {

TEST(ActionHistoryResultTest, ErrorsAndKindsHaveTheirFixedTexts) {
    EXPECT_STREQ(describe(ActionHistoryError::OpenDatabaseError),
                 "cannot open ActionHistory database");
    EXPECT_STREQ(describe(ActionHistoryError::CalledBeforeInitError),
                 "ActionHistory Api is called before sdk initialize");
    const char* disabled = describe(ActionHistoryError::SDKDisabledStateError);
    EXPECT_STREQ(disabled, "Disabled된 SVL SDK의 Method가 호출되었습니다.");
    EXPECT_EQ(std::strlen(disabled), 55u);

    EXPECT_EQ(makeActionHistoryIdType(1), ActionHistoryIdType::ADID);
    EXPECT_FALSE(makeActionHistoryIdType(2));
    EXPECT_EQ(makeActionHistoryActionType("KAKAOTALK"), ActionHistoryActionType::KAKAOTALK);
    EXPECT_FALSE(makeActionHistoryActionType("push_ios"));
    EXPECT_STREQ(rawValue(ActionHistoryActionType::TEXT_MESSAGE), "TEXT_MESSAGE");
}

TEST(ActionHistoryResultTest, ResultCarriesHistoryConnectionAndJsonErrors) {
    ActionHistoryResult ok(true, std::nullopt, std::nullopt);
    EXPECT_TRUE(ok.isSucceeded());
    EXPECT_FALSE(ok.getData());
    EXPECT_FALSE(ok.getError());

    auto history = ActionHistoryResult::failure(ActionHistoryError::NilIdError);
    EXPECT_FALSE(history.isSucceeded());
    EXPECT_EQ(history.getError()->actionHistoryError(), ActionHistoryError::NilIdError);
    EXPECT_EQ(history.getError()->localizedDescription(), "ADID or userID cannot be null!");

    auto connection =
        ActionHistoryResult::failure(toResultError(ApiConnectionError::NoAppKeyError));
    EXPECT_FALSE(connection.getError()->actionHistoryError());
    EXPECT_EQ(connection.getError()->domain(), "ApiConnectionError");
    EXPECT_EQ(connection.getError()->localizedDescription(),
              "ApiConnectionError :: No appKey in dataRegistry");
    EXPECT_EQ(*connection.getError(), toResultError(ApiConnectionError::NoAppKeyError));
    EXPECT_FALSE(*connection.getError() == toResultError(ApiConnectionError::NilResponseError));

    auto json = ActionHistoryResult::failure(toResultError(JsonError::dictionaryConvertingError));
    EXPECT_EQ(json.getError()->domain(), "JsonError");
    EXPECT_EQ(json.getError()->localizedDescription(),
              describe(JsonError::dictionaryConvertingError));
    // Same case number, other domain: not the same error.
    EXPECT_FALSE(ActionHistoryResultError(ActionHistoryError::DeleteLocalDBFailError) ==
                 toResultError(JsonError::dictionaryConvertingError));
}

}  // namespace
}  // namespace sorvel
