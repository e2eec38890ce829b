#include "Core/UseCases.h"

#include <gtest/gtest.h>

#include "Core/CoreFakes.h"
#include "Common/GdprForgetMe.h"

namespace sorvel::coretest {
namespace {

using ::testing::_;
using ::testing::Return;
using ::testing::SaveArg;

TEST(UseCasesTest, EachPassesItsArgumentsToItsOneRepositoryOperation) {
    auto repository = std::make_shared<::testing::StrictMock<MockRepository>>();

    Value::Map properties{{"svl:user_id", Value("u1")}};
    EXPECT_CALL(*repository, saveUserProperty(properties)).WillOnce(Return(true));
    EXPECT_CALL(*repository, saveCiProperty(properties)).WillOnce(Return(false));
    EXPECT_TRUE(SaveUserPropertyWithoutEventUseCase(repository).execute(properties));
    EXPECT_FALSE(SaveCiPropertyWithoutEventUseCase(repository).execute(properties));

    std::vector<SorvelKvCommerceProductModel> products(3);
    Value::Map attributes{{"a", Value("string:b")}};
    EXPECT_CALL(*repository, logSameEventWithPaging(_, "purchase", attributes))
        .WillOnce([](const auto& given, const auto&, const auto&) { EXPECT_EQ(given.size(), 3u); });
    LogSameEventWithPagingUseCase(repository).execute(products, "purchase", attributes);

    // A completion is handed on, never called by the use case itself.
    int answers = 0;
    CompletionCallback handedOn;
    EXPECT_CALL(*repository, requestDeleteUserData("user", _)).WillOnce(SaveArg<1>(&handedOn));
    DeleteUserDataUseCase(repository, [&](Completion) { ++answers; }).execute("user");
    EXPECT_EQ(answers, 0);
    ASSERT_TRUE(handedOn);
    handedOn(Completion::SUCCESS);
    EXPECT_EQ(answers, 1);

    // The GDPR guard's done goes on to the request the same way.
    GdprForgetMe::Done doneHandedOn;
    EXPECT_CALL(*repository, requestGdprForgetMe(_)).WillOnce(SaveArg<0>(&doneHandedOn));
    GdprForgetMeUseCase(repository, [&] { ++answers; }).execute();
    ASSERT_TRUE(doneHandedOn);
    doneHandedOn();
    EXPECT_EQ(answers, 2);

    EXPECT_CALL(*repository, deleteActionHistory(std::optional<std::string>(), "h1", 42, _));
    DeleteActionHistoryUseCase(repository, std::nullopt, "h1", 42, [](auto&) {}).execute();
    EXPECT_CALL(*repository, getActionHistory(5, 10, std::vector<std::string>{"KAKAOTALK"}, _));
    GetActionHistoryUseCase(repository, 5, 10, {"KAKAOTALK"}, [](auto&) {}).execute();
    EXPECT_CALL(*repository, getInAppMessage("svl:purchase"));
    TriggerInAppMessageUseCase(repository).execute("svl:purchase");
}

}  // namespace
}  // namespace sorvel::coretest
