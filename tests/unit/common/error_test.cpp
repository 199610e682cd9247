#include "common/error.hpp"

#include <gtest/gtest.h>

namespace skylark {
namespace {

TEST(Error, TheCastersOwnError) {
    const Error error =
        Error::withDescription("Skylark", 2, "Could not prepare the streaming encoder.");
    EXPECT_EQ(error.localizedDescription(), "Could not prepare the streaming encoder.");
    EXPECT_EQ(error.fullDescription(),
              "Error Domain=Skylark Code=2 \"Could not prepare the streaming encoder.\" "
              "UserInfo={NSLocalizedDescription=Could not prepare the streaming encoder.}");
}

TEST(Error, WithoutDescription) {
    Error error;
    error.domain = "org.skylark.x11";
    error.code = -3;
    EXPECT_EQ(error.localizedDescription(),
              "The operation couldn\u2019t be completed. (org.skylark.x11 error -3.)");
    EXPECT_EQ(error.fullDescription(),
              "Error Domain=org.skylark.x11 Code=-3 \"The operation couldn\u2019t be completed. "
              "(org.skylark.x11 error -3.)\"");
}

TEST(Error, UserInformationInKeyOrder) {
    Error error = Error::withDescription("D", 1, "Écran indisponible");
    error.userInfo.emplace("Display", ":7");
    EXPECT_EQ(error.fullDescription(),
              "Error Domain=D Code=1 \"Écran indisponible\" "
              "UserInfo={Display=:7, NSLocalizedDescription=Écran indisponible}");
}

}  // namespace
}  // namespace skylark
