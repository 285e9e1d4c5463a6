// The state file and its journal on a real disk, in a folder of the test's own: what a restart
// would read back after each group of changes kept, after the journal grows long enough to be
// folded into a new state file, and after a write that fails for want of room.
#include "core_fixtures.h"
#include "state_store.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <future>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

using namespace core_fixtures;
using service::JournalRecord;

// alice's red under `name`, expiring `for_ms` after it was set, which was `ago` when given.
JournalRecord record(std::uint64_t generation, const std::string& name, const std::string& for_ms = "",
                     std::chrono::hours ago = std::chrono::hours(0)) {
    service::Indications indications;
    indications.set(request("set red name=" + name + (for_ms.empty() ? "" : " for=" + for_ms)), alice, t0);
    return service::set_record(generation, indications.all().at({name, alice.id}), t0,
                               std::chrono::system_clock::now() - ago);
}

std::size_t line_bytes(const JournalRecord& record) {
    return service::journal_line(record).size();
}

class Disk {
public:
    Disk() : folder_(std::filesystem::temp_directory_path() / ("state_store_test_" + std::to_string(getpid()))) {
        std::filesystem::remove_all(folder_);
        store_ = std::make_unique<service::StateStore>((folder_ / "state.json").string());
        store_->start({});
        keep({});  // the state file written at the start
    }
    ~Disk() {
        store_->stop();
        std::filesystem::remove_all(folder_);
    }
    // Keeps a group of records and waits until it is kept; why it was not, empty when it was.
    std::string keep(std::vector<JournalRecord> records) {
        std::promise<std::string> kept;
        store_->keep(std::move(records), [&kept](const std::string& why_not) { kept.set_value(why_not); });
        return kept.get_future().get();
    }
    std::string keep(std::uint64_t generation, const std::string& name) { return keep({record(generation, name)}); }
    std::string state_text() const {
        std::string why;
        return store_->read_state(why).value_or("");
    }
    // What a restart would read back: names in the order they show, and the journal's size.
    std::vector<std::string> restored(std::size_t& journal_bytes, std::uint64_t& generation) const {
        std::string why;
        const std::optional<std::string> state = store_->read_state(why);
        const std::string journal = store_->read_journal(why).value_or("");
        journal_bytes = journal.size();
        service::Indications indications;
        service::Restored restored;
        EXPECT_TRUE(service::restore_state(indications, state, journal, t0, std::chrono::system_clock::now(),
                                           restored, why))
            << why;
        generation = restored.generation;
        std::vector<std::string> names;
        for (const service::IndicationStatus& status : indications.status(t0)) {
            names.push_back(status.indication->name);
        }
        return names;
    }

private:
    std::filesystem::path folder_;
    std::unique_ptr<service::StateStore> store_;
};

TEST(StateStoreTest, EachChangeIsKeptAndALongJournalIsFoldedIntoANewStateFile) {
    Disk disk;
    const JournalRecord gone = record(1, "gone", "1000", std::chrono::hours(1));
    // Enough records, of about 150 bytes each, to pass the journal's 1 MiB, in groups of 200.
    const int records = static_cast<int>(service::kJournalFoldBytes / line_bytes(record(1, "n0")) / 200 + 1) * 200;
    std::size_t journal_bytes = 0;
    std::uint64_t generation = 0;
    ASSERT_EQ(disk.keep({gone}), "");
    ASSERT_EQ(disk.keep(2, "a"), "");
    EXPECT_EQ(disk.restored(journal_bytes, generation), (std::vector<std::string>{"a"}));
    EXPECT_EQ(generation, 2u);
    EXPECT_EQ(journal_bytes, line_bytes(gone) + line_bytes(record(2, "a")));
    for (int index = 0; index < records; index += 200) {
        std::vector<JournalRecord> group;
        for (int at = index; at < index + 200; ++at) {
            group.push_back(record(3 + at, "n" + std::to_string(at % 200)));
        }
        ASSERT_EQ(disk.keep(std::move(group)), "") << index;
    }
    const std::vector<std::string> names = disk.restored(journal_bytes, generation);
    EXPECT_LT(journal_bytes, service::kJournalFoldBytes / 2) << "folded into a new state file, and started afresh";
    EXPECT_EQ(generation, static_cast<std::uint64_t>(2 + records));
    ASSERT_EQ(names.size(), 201u);
    EXPECT_EQ(disk.state_text().find("gone"), std::string::npos) << "what had ended is left out of the new state file";
    EXPECT_EQ(names.front(), "n199") << "the last set shows";
}

TEST(StateStoreTest, AGroupThatCannotBeWrittenIsKeptByTheNextWrite) {
    Disk disk;
    ASSERT_EQ(disk.keep(1, "a"), "");
    // No room for more than the files hold: a write fails as on a full disk.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit room{200, limit.rlim_max};
    setrlimit(RLIMIT_FSIZE, &room);
    const std::string refused = disk.keep(2, "b");
    setrlimit(RLIMIT_FSIZE, &limit);
    EXPECT_EQ(refused, "File too large");
    std::size_t journal_bytes = 0;
    std::uint64_t generation = 0;
    // As a restart right then would find it: the part written is gone.
    EXPECT_EQ(disk.restored(journal_bytes, generation), (std::vector<std::string>{"a"}));
    EXPECT_EQ(journal_bytes, line_bytes(record(1, "a")));
    ASSERT_EQ(disk.keep(3, "c"), "");
    EXPECT_EQ(disk.restored(journal_bytes, generation), (std::vector<std::string>{"c", "b", "a"}));
    EXPECT_EQ(generation, 3u);
}

}  // namespace
