#include "tests/fakebluez/PrivateBus.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace vexa::test {

namespace {

constexpr const char* kConfig = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=@DIR@</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

std::string readLine(FILE* f) {
    std::string line;
    int c;
    while ((c = std::fgetc(f)) != EOF && c != '\n') line.push_back(static_cast<char>(c));
    return line;
}

}  // namespace

PrivateBus::PrivateBus() {
    char pattern[] = "/tmp/vexa-bus-XXXXXX";
    if (!mkdtemp(pattern)) {
        error_ = "mkdtemp failed";
        return;
    }
    dir_ = pattern;
    const std::string configPath = dir_ + "/bus.conf";
    {
        std::string config = kConfig;
        config.replace(config.find("@DIR@"), 5, dir_);
        std::ofstream(configPath) << config;
    }
    // --fork: the parent prints the address and pid once the bus listens, then exits.
    const std::string command = "dbus-daemon --config-file=" + configPath + " --print-address=1 --print-pid=1 --fork --nosyslog";
    FILE* out = popen(command.c_str(), "r");
    if (!out) {
        error_ = "cannot run dbus-daemon";
        return;
    }
    address_ = readLine(out);
    const std::string pid = readLine(out);
    const int status = pclose(out);
    if (address_.empty() || pid.empty() || status != 0) {
        error_ = "dbus-daemon did not start (status " + std::to_string(status) + ")";
        address_.clear();
        return;
    }
    pid_ = static_cast<pid_t>(std::stol(pid));
}

PrivateBus::~PrivateBus() {
    if (pid_ > 0) kill(pid_, SIGTERM);
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}

}  // namespace vexa::test
