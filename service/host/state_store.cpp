#include "state_store.h"

#include "line_log.h"
#include "platform.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace service {
namespace {

// Why `path` cannot hold one of the service's files (a link to one counts as one when `links`);
// empty when it can.
std::string refusal_of(const std::string& path, bool links) {
    std::error_code error;
    const std::filesystem::path at = std::filesystem::u8path(path);
    const std::filesystem::file_status status =
        links ? std::filesystem::status(at, error) : std::filesystem::symlink_status(at, error);
    if (status.type() == std::filesystem::file_type::not_found ||
        status.type() == std::filesystem::file_type::regular) {
        return "";
    }
    if (error) {
        return error.message();
    }
    return status.type() == std::filesystem::file_type::directory
               ? "a folder is at its path"
               : "something that is not a regular file is at its path";
}

// What the file at `path` holds, up to `most` bytes and one more to know it is larger.
std::optional<std::string> read_file(const std::string& path, std::size_t most, std::string& why_not) {
    const std::filesystem::path file = std::filesystem::u8path(path);
    std::error_code error;
    if (!std::filesystem::exists(file, error)) {
        why_not = error ? error.message() : "";
        return std::nullopt;
    }
    std::ifstream in(file, std::ios::binary);
    std::string text(most + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad()) {
        why_not = "it cannot be read";
        return std::nullopt;
    }
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

long long wall_ms_now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::string StateStore::refusal() const {
    // The state file is replaced by a rename, which replaces a link too; the journal is appended
    // to, and never through a link.
    std::string state = refusal_of(path_, true);
    if (!state.empty()) {
        return state;
    }
    const std::string journal = refusal_of(journal_path_, false);
    return journal.empty() ? "" : "its journal " + journal_path_ + ": " + journal;
}

std::optional<std::string> StateStore::read_state(std::string& why_not) const {
    return read_file(path_, kMaxStateBytes, why_not);
}

std::optional<std::string> StateStore::read_journal(std::string& why_not) const {
    return read_file(journal_path_, kMaxJournalBytes, why_not);
}

void StateStore::set_aside() const {
    std::error_code ignored;
    std::filesystem::rename(std::filesystem::u8path(path_), std::filesystem::u8path(path_ + ".corrupt"), ignored);
    std::filesystem::rename(std::filesystem::u8path(journal_path_), std::filesystem::u8path(path_ + ".corrupt.journal"),
                            ignored);
}

void StateStore::start(std::vector<JournalRecord> in_force) {
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::u8path(path_).parent_path(), error);
    if (error) {
        program_support::log("the state file's folder cannot be made (" + error.message() +
                             "); what is asked is not kept");
    }
    writer_.start();
    writer_.hand([&in_force](Work& waiting) {
        waiting.records = std::move(in_force);
        waiting.fold = true;
    });
}

void StateStore::keep(std::vector<JournalRecord> records, Kept kept) {
    writer_.hand([&records, &kept](Work& waiting) {
        waiting.records.insert(waiting.records.end(), std::make_move_iterator(records.begin()),
                               std::make_move_iterator(records.end()));
        if (kept) {
            waiting.kept.push_back(std::move(kept));
        }
    });
}

bool StateStore::stop() {
    if (writer_.stop_within(kLastWriteWait)) {
        return true;
    }
    const std::lock_guard<std::mutex> guard(telling_);
    abandoned_ = true;
    return false;
}

void StateStore::apply(const JournalRecord& record) {
    generation_ = std::max(generation_, record.generation);
    if (record.entry.empty()) {
        in_force_.erase(record.key);
    } else {
        in_force_[record.key] = {record.entry, next_order_++, record.ends_at_ms};
    }
}

void StateStore::write(Work& work) {
    for (const JournalRecord& record : work.records) {
        apply(record);
    }
    std::string why_not;
    bool written = false;
    if (fold_owed_ || work.fold) {
        written = fold(why_not);
    } else {
        std::string lines;
        for (const JournalRecord& record : work.records) {
            lines += journal_line(record);
        }
        written = journal_.append(lines, why_not);
        // What the failed group holds is in force: a new state file keeps it with the next.
        fold_owed_ = !written;
    }
    say_whether_written(written, why_not);
    {
        const std::lock_guard<std::mutex> guard(telling_);
        for (const Kept& kept : work.kept) {
            if (!abandoned_) {
                kept(why_not);
            }
        }
    }
    if (written && journal_.size() > kJournalFoldBytes) {
        say_whether_written(fold(why_not), why_not);
    }
}

bool StateStore::fold(std::string& why_not) {
    // What has ended by now is let go: it would come back no more than it shows now.
    const long long now_ms = wall_ms_now();
    std::vector<std::pair<std::uint64_t, const std::string*>> in_order;
    for (auto at = in_force_.begin(); at != in_force_.end();) {
        if (at->second.ends_at_ms && *at->second.ends_at_ms <= now_ms) {
            at = in_force_.erase(at);
            continue;
        }
        in_order.emplace_back(at->second.order, &at->second.entry);
        ++at;
    }
    std::sort(in_order.begin(), in_order.end());
    std::vector<const std::string*> entries;
    entries.reserve(in_order.size());
    for (const auto& [order, entry] : in_order) {
        entries.push_back(entry);
    }
    if (!platform::replace_file(path_, state_text(generation_, entries), why_not)) {
        fold_owed_ = true;
        return false;
    }
    // The state file keeps every change now: the journal's records are all of earlier generations,
    // which a restore would skip, so it is started afresh without a flush of its own.
    std::string journal_why_not;
    const bool journal_ready =
        (journal_.is_open() || journal_.open(journal_path_, journal_why_not)) && journal_.empty_out(journal_why_not);
    if (journal_ready == journal_failing_) {
        journal_failing_ = !journal_ready;
        program_support::log(journal_ready
                                 ? "the state file's journal " + journal_path_ + " is written again"
                                 : "cannot start the state file's journal " + journal_path_ + " afresh (" +
                                       journal_why_not + "); each change is kept by a new state file meanwhile");
    }
    fold_owed_ = !journal_ready;
    return true;
}

// Said once when writing starts to fail, and once when it works again.
void StateStore::say_whether_written(bool written, const std::string& why_not) {
    if (written == failing_) {
        program_support::log(written ? "the state file " + path_ + " is written again"
                                     : "cannot write the state file " + path_ + " (" + why_not +
                                           "); it keeps what it held");
        failing_ = !written;
    }
}

}  // namespace service
