#include "platform/simulated/SimulatedInstallationProxy.h"

#include "platform/plist/PlistBinary.h"
#include "platform/plist/PlistFile.h"

#include <gmock/gmock.h>

namespace keldo {
namespace {

// The client's side of the wire: requests framed, answers read back one message at a time.
class SimulatedInstallationProxyTest : public ::testing::Test {
protected:
    // Asked in the binary form, every answer must come in it too.
    std::vector<PlistValue> ask(const PlistValue& request, bool binary = false) {
        std::string input = SimulatedMessageService::frame(request, binary);
        std::string output;
        EXPECT_TRUE(proxy.receive(input, output));
        EXPECT_TRUE(input.empty());
        std::vector<PlistValue> answers;
        while (output.size() >= 4) {
            unsigned char header[4];
            for (int i = 0; i < 4; ++i) header[i] = static_cast<unsigned char>(output[static_cast<std::size_t>(i)]);
            const std::uint32_t n = *SimulatedMessageService::messageLength(header);
            EXPECT_EQ(PlistBinary::isBinary(output.data() + 4, n), binary);
            answers.push_back(*PlistFile::fromBytes(output.data() + 4, n));
            output.erase(0, 4 + n);
        }
        return answers;
    }
    static PlistValue browse(PlistValue::Dictionary options) {
        return PlistValue::Dictionary{{"Command", "Browse"}, {"ClientOptions", std::move(options)}};
    }

    std::shared_ptr<SimulatedApps> apps = std::make_shared<SimulatedApps>();
    SimulatedInstallationProxy proxy{apps};
};

TEST_F(SimulatedInstallationProxyTest, BrowsesInPagesThenSaysComplete) {
    for (int i = 0; i < 12; ++i) apps->install({"org.example.app" + std::to_string(10 + i), "App", "1.0", i != 3});
    auto answers = ask(browse({{"ApplicationType", "User"}}));
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_EQ(*answers[0].find("Status"), PlistValue("BrowsingApplications"));
    EXPECT_EQ(answers[0].find("CurrentList")->array()->size(), SimulatedInstallationProxy::kPageSize);
    EXPECT_EQ(*answers[1].find("CurrentIndex"), PlistValue(10));
    EXPECT_EQ(*answers[1].find("CurrentAmount"), PlistValue(2));
    EXPECT_EQ(*answers[1].find("Total"), PlistValue(12));
    EXPECT_EQ(answers[2], PlistValue(PlistValue::Dictionary{{"Status", "Complete"}}));
    const PlistValue& app = answers[0].find("CurrentList")->array()->at(3);
    EXPECT_EQ(*app.find("CFBundleIdentifier"), PlistValue("org.example.app13"));
    EXPECT_FALSE(app.find("UIFileSharingEnabled"));
    EXPECT_EQ(*answers[0].find("CurrentList")->array()->at(0).find("UIFileSharingEnabled"), PlistValue(true));
}

TEST_F(SimulatedInstallationProxyTest, KeepsOnlyTheAttributesAskedForAndFindsNoSystemApps) {
    apps->install({"org.example.player", "Player", "2.1", true});
    auto answers = ask(browse({{"ReturnAttributes", PlistValue::Array{"CFBundleIdentifier", "CFBundleVersion"}}}));
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].find("CurrentList")->array()->at(0),
              PlistValue(PlistValue::Dictionary{{"CFBundleIdentifier", "org.example.player"}, {"CFBundleVersion", "2.1"}}));
    EXPECT_EQ(ask(browse({{"ApplicationType", "System"}})).size(), 1u);
}

TEST_F(SimulatedInstallationProxyTest, LooksUpTheAppsListedOrAllInOneAnswerInTheFormAskedIn) {
    apps->install({"org.example.player", "Player", "2.1", true});
    apps->install({"org.example.reader", "Reader", "1.0", false});
    const auto lookup = [&](PlistValue::Dictionary options) {
        return ask(PlistValue::Dictionary{{"Command", "Lookup"}, {"ClientOptions", std::move(options)}}, true);
    };
    auto answers = lookup({{"BundleIDs", PlistValue::Array{"org.example.player", "org.example.none"}},
                           {"ReturnAttributes", PlistValue::Array{"CFBundleVersion"}}});
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0], PlistValue(PlistValue::Dictionary{
                              {"LookupResult", PlistValue::Dictionary{{"org.example.player",
                                                                        PlistValue::Dictionary{{"CFBundleVersion", "2.1"}}}}},
                              {"Status", "Complete"}}));
    answers = lookup({});
    ASSERT_EQ(answers.size(), 1u);
    const PlistValue* all = answers[0].find("LookupResult");
    ASSERT_TRUE(all && all->dictionary());
    EXPECT_EQ(all->dictionary()->size(), 2u);
    EXPECT_EQ(*all->find("org.example.reader")->find("CFBundleDisplayName"), PlistValue("Reader"));
    EXPECT_EQ(*lookup({{"ApplicationType", "System"}})[0].find("LookupResult"), PlistValue(PlistValue::Dictionary{}));
}

TEST_F(SimulatedInstallationProxyTest, AnswersWhatItDoesNotKnowWithAnError) {
    auto answers = ask(PlistValue::Dictionary{{"Command", "Install"}});
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(*answers[0].find("Error"), PlistValue("UnknownCommand"));
    EXPECT_EQ(ask(PlistValue("no dictionary")).size(), 1u);
}

TEST_F(SimulatedInstallationProxyTest, WaitsForAWholeMessageAndEndsAStreamItCantFollow) {
    std::string input = SimulatedMessageService::frame(browse({}));
    std::string rest = input.substr(7);
    input.resize(7);
    std::string output;
    ASSERT_TRUE(proxy.receive(input, output));
    EXPECT_TRUE(output.empty());
    input += rest;
    ASSERT_TRUE(proxy.receive(input, output));
    EXPECT_FALSE(output.empty());
    std::string tooLong("\x7f\xff\xff\xff", 4);
    EXPECT_FALSE(proxy.receive(tooLong, output));
}

} // namespace
} // namespace keldo
