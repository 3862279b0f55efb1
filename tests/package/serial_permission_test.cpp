// What the operator is told when a serial port cannot be opened: a device
// file they may not use calls for the dialout group; a port another program
// holds does not.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <memory>
#include <string>
#include <vector>

#include "link/qt_serial_transport.h"

namespace flashmere {
namespace {

class QtApplicationEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { app_ = std::make_unique<QCoreApplication>(argc_, argv_); }
    void TearDown() override { app_.reset(); }

  private:
    int argc_ = 1;
    char name_[32] = "serial_permission_test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QCoreApplication> app_;
};
const auto* const kQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

struct NoteSink final : TraceSink {
    void setSentTrace(const std::string&) override {}
    void setReceivedTrace(const std::string&) override {}
    void linkNote(const std::string& text) override { notes.push_back(text); }
    std::vector<std::string> notes;
};

// A pseudo-terminal whose slave side stands in for a serial port.
class Pty {
  public:
    Pty() {
        char name[256] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) == 0) {
            path_ = name;
        }
    }
    ~Pty() {
        if (slave_ >= 0) {
            ::close(slave_);
        }
        if (master_ >= 0) {
            ::close(master_);
        }
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    const std::string& path() const { return path_; }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

TEST(SerialPermissionNote, TellsTheOperatorWhatToDo) {
    EXPECT_EQ(serialPermissionNote("ttyUSB0"),
              "permission denied on ttyUSB0: add your user to the dialout group "
              "(sudo usermod -aG dialout $USER) and log in again");
    EXPECT_EQ(serialPermissionNote("/dev/ttyS1"),
              "permission denied on /dev/ttyS1: add your user to the dialout group "
              "(sudo usermod -aG dialout $USER) and log in again");
}

TEST(SerialPermissionNote, KeepsAStrangePortNameOnOneShortLine) {
    const std::string note =
        serialPermissionNote(std::string("tty\nUSB\x01") + std::string(200, 'x'));
    EXPECT_EQ(note.find('\n'), std::string::npos);
    EXPECT_EQ(note.find('\x01'), std::string::npos);
    EXPECT_LT(note.size(), 200u);
    EXPECT_NE(note.find("dialout"), std::string::npos);
}

TEST(SerialOpenNote, AMissingPortGetsNoPermissionAdvice) {
    NoteSink sink;
    std::string why;
    EXPECT_EQ(QtSerialTransport::open("/dev/flashmere-no-such-port", "19200,e,8,1", sink, &why),
              nullptr);
    EXPECT_EQ(why, serialMissingNote("/dev/flashmere-no-such-port"));
    for (const std::string& note : sink.notes) {
        EXPECT_EQ(note.find("dialout"), std::string::npos) << note;
    }
}

TEST(SerialOpenNote, APortHeldByAnotherOpenIsInUseNotForbidden) {
    Pty pty;
    ASSERT_FALSE(pty.path().empty());
    NoteSink first;
    auto holder = QtSerialTransport::open(pty.path(), "19200,e,8,1", first);
    ASSERT_NE(holder, nullptr);

    NoteSink second;
    std::string why;
    EXPECT_EQ(QtSerialTransport::open(pty.path(), "19200,e,8,1", second, &why), nullptr);
    EXPECT_EQ(why, serialInUseNote(pty.path()));
    EXPECT_EQ(why.find("dialout"), std::string::npos);
}

// Opens a port whose device file is closed to everybody, as a user without
// rights: 0 when exactly the dialout note was given as the reason.
int openForbiddenPort(const std::string& path) {
    NoteSink sink;
    std::string why;
    if (QtSerialTransport::open(path, "19200,e,8,1", sink, &why) != nullptr) {
        return 2;
    }
    return why == serialPermissionNote(path) ? 0 : 1;
}

TEST(SerialOpenNote, ADeviceFileWithoutAccessCallsForTheDialoutGroup) {
    Pty pty;
    ASSERT_FALSE(pty.path().empty());
    ASSERT_EQ(::chmod(pty.path().c_str(), 0), 0);
    if (::geteuid() != 0) {
        EXPECT_EQ(openForbiddenPort(pty.path()), 0);
        return;
    }
    // Root opens any device file: the open runs in a child that has become
    // the unprivileged user nobody.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        constexpr uid_t kNobody = 65534;
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
            ::_exit(3);
        }
        ::_exit(openForbiddenPort(pty.path()));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "1: other or no note, 2: the port opened, 3: setuid failed";
}

}  // namespace
}  // namespace flashmere
