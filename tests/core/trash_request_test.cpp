#include "orvalnest/trash_request.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "cleaner_test_support.hpp"

namespace orvalnest {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using Failed = std::vector<std::pair<std::string, std::string>>;

const std::string kNotAttempted = "not attempted: audit log write failed: File too large (os error 27)";

// Moves into a private trash folder through the judged parent, so a later
// validation of the same path really finds it gone; "stuck" refuses to move
// and to be probed.
class FakeTrash final : public TrashBackend {
public:
    FakeTrash(std::string trash, std::function<size_t()> count_lines)
        : trash_(std::move(trash)), count_lines_(std::move(count_lines)) {}

    std::expected<MovedItem, MoveFailure> move(const Candidate& candidate, AfterMove) override {
        moved.push_back(candidate.resolved);
        lines_at_move.push_back(count_lines_());
        if (candidate.name == "stuck") return std::unexpected(stuck());
        const std::string name = std::to_string(moved.size());
        if (::renameat(candidate.parent.get(), candidate.name.c_str(), AT_FDCWD,
                       (trash_ + "/" + name).c_str()))
            return std::unexpected(MoveFailure{FailureCause::Os, errno, "rename failed"});
        return MovedItem{trash_, name};
    }
    std::optional<MoveFailure> probe(const Candidate& candidate) override {
        if (candidate.name == "stuck") return stuck();
        return std::nullopt;
    }

    std::vector<std::string> moved;
    std::vector<size_t> lines_at_move;

private:
    static MoveFailure stuck() {
        return {FailureCause::Os, EACCES, "Error during a `trash` operation: stuck"};
    }
    std::string trash_;
    std::function<size_t()> count_lines_;
};

class TrashRequest : public ::testing::Test {
protected:
    void SetUp() override {
        env_.set("HOME", tmp_ / "home");
        env_.set("USERNAME", std::nullopt);
        env_.set("USER", "tester");
        root_ = testing::real(tmp_.path()) + "/scan";
        fs::create_directories(root_ + "/dir");
        fs::create_directories(tmp_ / "trash");
        for (const char* name : {"one", "two", "dir/three", "stuck", "a%\xff"})
            testing::write_file(root_ + "/" + name);
        fs::create_directory_symlink(root_ + "/dir", tmp_ / "dirlink");
        fs::create_directory_symlink(root_ + "/dir", root_ + "/dirlink");
        policy_.emplace(PathPolicy::build(root_).value());
    }

    size_t count_lines() const { return testing::read_lines(tmp_ / "audit/deletions.jsonl").size(); }

    std::expected<std::vector<PathOutcome>, Failure> run(const std::vector<std::string>& paths,
                                                         const RequestOptions& options = {}) {
        auto log = AuditLog::open(tmp_ / "audit").value();
        paths_ = paths;
        return run_trash_request(*policy_, log, paths_, options, backend_);
    }

    using Expected =
        std::tuple<std::string, std::optional<std::string>, AuditOutcome, std::optional<std::string>>;

    // Each line must be the record of its path, byte for byte; only the time is
    // free, within the run of the test.
    void expect_records(const std::vector<Expected>& expected, std::uint64_t earliest) const {
        auto lines = testing::read_lines(tmp_ / "audit/deletions.jsonl");
        lines.resize(std::max(lines.size(), expected.size()));  // a missing line shows as an empty one
        std::vector<std::string> want;
        for (size_t i = 0; i < expected.size(); ++i) {
            const auto time =
                std::strtoull(lines[i].c_str() + std::min<size_t>(lines[i].size(), 13), nullptr, 10);
            EXPECT_TRUE(time >= earliest && time <= unix_time_now()) << lines[i];
            const auto& [requested, resolved, outcome, detail] = expected[i];
            want.push_back(serialize_line({time, "tester", root_, requested, resolved, outcome, detail, {}}));
            want.back().pop_back();  // the line feed
        }
        EXPECT_EQ(lines, want);
    }

    testing::TempDir tmp_;
    testing::ScopedEnv env_;
    std::string root_;
    std::optional<PathPolicy> policy_;
    std::vector<std::string> paths_;
    FakeTrash backend_{tmp_ / "trash", [this] { return count_lines(); }};
};

TEST_F(TrashRequest, ValidatesMovesThenRecordsEachPathInOrder) {
    const auto start = unix_time_now();
    const std::string one = root_ + "/one";
    const std::string via_link = tmp_ / "dirlink/three";
    const std::string gone = "refused: path could not be resolved: No such file or directory (os error 2)";
    const std::string stuck_text = "Error during a `trash` operation: stuck";
    // A name that is not UTF-8 must be acted on by its bytes: its lossy text
    // may be the name of a different file right beside it.
    const std::string raw = root_ + "/a%\xff", shown = root_ + "/a%\xef\xbf\xbd";
    auto outcome = run({one, "rel", one, via_link, tmp_ / "home", root_ + "/stuck", root_ + "//./two", raw});
    ASSERT_TRUE(outcome);

    // The report names paths as requested, not as resolved.
    const auto split = split_outcomes(paths_, *outcome);
    EXPECT_EQ(split.trashed, (std::vector<std::string>{one, via_link, root_ + "//./two", shown}));
    EXPECT_EQ(split.failed, (Failed{{"rel", "refused: path is not absolute"},
                                    {one, gone},
                                    {tmp_ / "home", gone},
                                    {root_ + "/stuck", stuck_text}}));
    EXPECT_EQ(backend_.moved,
              (std::vector<std::string>{one, root_ + "/dir/three", root_ + "/stuck", root_ + "/two", raw}));
    // Each move came after the previous path's record and before its own.
    EXPECT_EQ(backend_.lines_at_move, (std::vector<size_t>{0, 3, 5, 6, 7}));
    expect_records({{one, one, AuditOutcome::Trashed, std::nullopt},
                    {"rel", std::nullopt, AuditOutcome::Failed, "refused: path is not absolute"},
                    {one, std::nullopt, AuditOutcome::Failed, gone},
                    {via_link, root_ + "/dir/three", AuditOutcome::Trashed, std::nullopt},
                    {tmp_ / "home", std::nullopt, AuditOutcome::Failed, gone},
                    {root_ + "/stuck", root_ + "/stuck", AuditOutcome::Failed, stuck_text},
                    {root_ + "//./two", root_ + "/two", AuditOutcome::Trashed, std::nullopt},
                    {shown, shown, AuditOutcome::Trashed, std::nullopt}},
                   start);
}

// The extended request: a dry run that also asks what the move needs, an
// entry that is no longer the one shown, and records that keep raw names.
TEST_F(TrashRequest, ExtendedDryRunTellsWhatWouldFailAndRefusesAnotherEntry) {
    const std::string raw = root_ + "/a%\xff";
    const std::vector<std::optional<FileIdentity>> expected = {std::nullopt, FileIdentity{0, 0}, std::nullopt,
                                                               std::nullopt};
    RequestOptions options;
    options.dry_run = options.extended = options.measure = true;
    options.expected = expected;
    auto outcomes = run({raw, root_ + "/one", root_ + "/stuck", "rel"}, options);
    ASSERT_TRUE(outcomes);
    std::vector<OutcomeKind> kinds;
    for (const auto& outcome : *outcomes) kinds.push_back(outcome.kind);
    EXPECT_EQ(kinds, (std::vector{OutcomeKind::WouldTrash, OutcomeKind::Refused, OutcomeKind::WouldFail,
                                  OutcomeKind::Refused}));
    EXPECT_EQ((*outcomes)[1].refusal->kind(), RefusalKind::Changed);
    EXPECT_EQ((*outcomes)[2].failure->error, EACCES);
    EXPECT_EQ((*outcomes)[0].tree_size->entries, 1u);
    EXPECT_TRUE(backend_.moved.empty());
    const auto lines = testing::read_lines(tmp_ / "audit/deletions.jsonl");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(lines[0].ends_with(R"("outcome":"would-trash","detail":null,"requested_raw":")" + root_ +
                                   R"(/a%25%FF","resolved_raw":")" + root_ + R"(/a%25%FF"})"))
        << lines[0];
    EXPECT_TRUE(lines[2].find(R"("outcome":"would-fail","detail":"Error during)") != std::string::npos);
}

TEST_F(TrashRequest, RefusesOversizedRequestsBeforeLookingAtAnyPath) {
    const auto refused = run(std::vector<std::string>(kMaxPathsPerRequest + 1, root_ + "/one"));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, ExceptionKind::ValueError);
    EXPECT_EQ(count_lines(), 0u);
}

TEST_F(TrashRequest, AFailedAuditWriteStopsTheRequestAfterReportingThePathAtHand) {
    // No file may grow: the audit write fails with EFBIG, as on a full disk.
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit none{0, saved.rlim_max};
    const auto handler = std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &none);
    // The path whose record failed was already moved and is reported as such,
    // but as not recorded; a refused first path keeps its own reason.
    const auto moved_first = run({root_ + "/one", root_ + "/two", "rel"});
    const std::vector<std::string> moved_paths = paths_;
    const auto refused_first = run({"rel", root_ + "/two"});
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, handler);
    ASSERT_TRUE(moved_first && refused_first);
    EXPECT_EQ(backend_.moved, std::vector<std::string>{root_ + "/one"});
    EXPECT_EQ(((*moved_first)[0].kind), OutcomeKind::Trashed);
    EXPECT_FALSE((*moved_first)[0].recorded);
    EXPECT_EQ((*moved_first)[1].failure->cause, FailureCause::AuditLogWrite);
    EXPECT_EQ(split_outcomes(moved_paths, *moved_first).failed,
              (Failed{{root_ + "/two", kNotAttempted}, {"rel", kNotAttempted}}));
    EXPECT_EQ(split_outcomes(paths_, *refused_first).failed,
              (Failed{{"rel", "refused: path is not absolute"}, {root_ + "/two", kNotAttempted}}));
}

}  // namespace
}  // namespace orvalnest
