// The files the bridge reads, as the system hands them over: each kind, mode and size it takes or
// refuses, saying which and how to mend it (POSIX).
#include "trusted_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

class TrustedFileTest : public testing::Test {
protected:
    void SetUp() override {
        char folder[] = "/tmp/trusted_file_test.XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        folder_ = folder;
    }
    void TearDown() override { static_cast<void>(std::system(("rm -rf " + folder_).c_str())); }

    std::string made(const std::string& name, mode_t mode, std::size_t bytes = 5) {
        const std::string path = folder_ + "/" + name;
        std::ofstream(path) << std::string(bytes, 'x');
        chmod(path.c_str(), mode);
        return path;
    }
    // What reading it says: "read N bytes", or the refusal with the path left out.
    std::string read(const std::string& path, bridge::Secrecy secrecy) {
        std::string why_not;
        const std::optional<std::string> text =
            bridge::read_trusted_file(path, secrecy, bridge::kMostFileBytes, why_not);
        if (text) {
            return "read " + std::to_string(text->size()) + " bytes";
        }
        for (std::size_t at; (at = why_not.find(path)) != std::string::npos;) {
            why_not.replace(at, path.size(), "F");
        }
        return why_not;
    }

    std::string folder_;
};

TEST_F(TrustedFileTest, EachModeKindAndSizeIsTakenOrRefusedSayingHowToMendIt) {
    using bridge::Secrecy;
    const std::string group_or_others_write = "F may be changed by others than its owner (mode ";
    const std::string others_read = "F holds a secret, but others may read it (mode ";
    const std::string mend_read = "); make it its owner's and the bridge's group's alone: chmod 640 F";
    struct Case {
        std::string path;
        Secrecy secrecy;
        std::string said;
    };
    const std::string fifo = folder_ + "/fifo";
    mkfifo(fifo.c_str(), 0600);
    const std::string link = folder_ + "/link";
    symlink(made("target", 0600).c_str(), link.c_str());
    const Case cases[] = {
        {made("own", 0600), Secrecy::kSecret, "read 5 bytes"},
        {made("group_reads", 0640), Secrecy::kSecret, "read 5 bytes"},
        {made("group_writes", 0620), Secrecy::kSecret, group_or_others_write + "0620): chmod go-w F"},
        {made("group_writes_public", 0664), Secrecy::kPublic, group_or_others_write + "0664): chmod go-w F"},
        {made("others_write", 0602), Secrecy::kSecret, group_or_others_write + "0602): chmod go-w F"},
        {made("others_read", 0604), Secrecy::kSecret, others_read + "0604" + mend_read},
        {made("others_run", 0601), Secrecy::kSecret, others_read + "0601" + mend_read},
        {made("public", 0644), Secrecy::kPublic, "read 5 bytes"},
        {made("rewritten", 0666), Secrecy::kRewritten, "read 5 bytes"},
        {made("at_most", 0600, bridge::kMostFileBytes), Secrecy::kSecret, "read 65536 bytes"},
        {made("one_more", 0600, bridge::kMostFileBytes + 1), Secrecy::kSecret, "F holds more than 65536 bytes"},
        {fifo, Secrecy::kPublic, "F is a FIFO, not a regular file"},
        {folder_, Secrecy::kPublic, "F is a folder, not a regular file"},
        {"/dev/zero", Secrecy::kPublic, "F is a device, not a regular file"},
        {link, Secrecy::kPublic, "F is a symbolic link: name the file itself"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(read(c.path, c.secrecy), c.said) << c.path;
    }
}

}  // namespace
