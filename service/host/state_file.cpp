#include "state_file.h"

#include "log.h"
#include "platform.h"
#include "state_format.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace service {

std::string StateFile::unusable() const {
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(std::filesystem::u8path(path_), error);
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

std::optional<std::string> StateFile::read(std::string& why_not) const {
    const std::filesystem::path file = std::filesystem::u8path(path_);
    std::error_code error;
    if (!std::filesystem::exists(file, error)) {
        why_not = error ? error.message() : "";
        return std::nullopt;
    }
    // Read no further than the largest file the caps allow, and one byte more to know it is larger.
    std::ifstream in(file, std::ios::binary);
    std::string text(kMaxStateBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad()) {
        why_not = "it cannot be read";
        return std::nullopt;
    }
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

void StateFile::set_aside() const {
    std::error_code ignored;
    std::filesystem::rename(std::filesystem::u8path(path_), std::filesystem::u8path(path_ + ".corrupt"), ignored);
}

void StateFile::start() {
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::u8path(path_).parent_path(), error);
    if (error) {
        log("the state file's folder cannot be made (" + error.message() + "); what is asked is not kept");
    }
    writer_.start();
}

void StateFile::save(std::string text, Saved saved) {
    writer_.hand([&text, &saved](Work& waiting) {
        waiting.text = std::move(text);
        if (saved) {
            waiting.saved.push_back(std::move(saved));
        }
    });
}

bool StateFile::stop() {
    if (writer_.stop_within(kLastWriteWait)) {
        return true;
    }
    const std::lock_guard<std::mutex> guard(telling_);
    abandoned_ = true;
    return false;
}

void StateFile::write(Work& work) {
    std::string why_not;
    const bool written = platform::replace_file(path_, *work.text, why_not);
    // Said once when writing starts to fail, and once when it works again.
    if (written == failing_) {
        log(written ? "the state file " + path_ + " is written again"
                    : "cannot write the state file " + path_ + " (" + why_not + "); it keeps what it held");
        failing_ = !written;
    }
    const std::lock_guard<std::mutex> guard(telling_);
    for (const Saved& saved : work.saved) {
        if (!abandoned_) {
            saved(why_not);
        }
    }
}

}  // namespace service
