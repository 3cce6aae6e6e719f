// The runner: several seeds in one child process, each on a machine of its own, must do what each does
// in a process of its own, and a run that ends its child is reported with its own seed while the runs
// after it still happen.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace {

struct Output {
    int status = -1;
    std::string text;
};

Output RunCampaign(const std::string& arguments) {
    Output out;
    const std::string command = std::string(TARVEL_CAMPAIGN_PROGRAM) + " " + arguments + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) out.text += buffer;
    const int status = pclose(pipe);
    out.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

// The summary table, from its heading to the total (the real time after it differs from run to run).
std::string Table(const std::string& text) {
    const std::size_t start = text.find("scenario");
    const std::size_t total = text.find("\ntotal", start);
    if (start == std::string::npos || total == std::string::npos) return {};
    return text.substr(start, text.find('\n', total + 1) - start);
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::string LogDir(const std::string& name) { return std::string(::testing::TempDir()) + "campaign-runner-" + name; }

// Every seed of the short configuration: the same cycles, requests and injected faults per row, whether
// a process runs one seed or many in turn.
TEST(CampaignRunner, SeedsRunTheSameManyToAProcessAsOneToAProcess) {
    const Output alone = RunCampaign("--jobs 2 --runs-per-child 1 --log-dir " + LogDir("one"));
    const Output together = RunCampaign("--jobs 2 --runs-per-child 32 --log-dir " + LogDir("many"));
    ASSERT_EQ(alone.status, 0) << alone.text;
    ASSERT_EQ(together.status, 0) << together.text;
    ASSERT_FALSE(Table(alone.text).empty()) << alone.text;
    EXPECT_EQ(Table(together.text), Table(alone.text));
}

// The planted run is the second of its child's five: it is run again alone (its log says so), reported
// with its own seed, and the runs after it still run and pass.
TEST(CampaignRunner, ARunThatEndsItsChildIsReportedWithItsSeedAndTheRestStillRun) {
    const Output out = RunCampaign("--only pnp --policy random --seeds 5 --jobs 1 --runs-per-child 5 "
                                   "--plant-finding 1000002 --log-dir " + LogDir("planted"));
    EXPECT_EQ(out.status, 1) << out.text;
    EXPECT_NE(out.text.find("pnp random                5"), std::string::npos) << out.text;
    EXPECT_EQ(Count(out.text, "FINDING in "), 1u) << out.text;
    EXPECT_NE(out.text.find("FINDING in pnp random, seed 1000002:\n  CAMPAIGN FINDING: planted finding of seed 1000002"),
              std::string::npos)
        << out.text;
    EXPECT_NE(out.text.find("-alone.log"), std::string::npos) << "reported from its run alone\n" << out.text;
    EXPECT_NE(out.text.find("--seed 1000002 "), std::string::npos) << out.text;
}

// A run that fails only after others in its process depends on what an earlier machine left behind: it
// cannot be replayed from its seed, and the report says so.
TEST(CampaignRunner, AFindingThatNeedsEarlierRunsInItsProcessIsCalledSo) {
    const Output out = RunCampaign("--only pnp --policy random --seeds 3 --jobs 1 --runs-per-child 3 "
                                   "--plant-finding-after-others 1000003 --log-dir " + LogDir("carried"));
    EXPECT_EQ(out.status, 1) << out.text;
    EXPECT_EQ(Count(out.text, "FINDING in "), 1u) << out.text;
    EXPECT_NE(out.text.find("seed 1000003:\n  fails only after other runs in the same process, passes alone"),
              std::string::npos)
        << out.text;
}

}  // namespace
