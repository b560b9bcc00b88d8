// The per-user agent registered under the name N is the file
// $HOME/Library/LaunchAgents/N, a copy of the job description in the app
// bundle's Contents/Library/LaunchAgents/N. A registered agent is enabled:
// nothing here asks for the user's approval.
#include "platform/launchd.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "platform/linux/property_list_file.hpp"
#include "platform/linux/system_root.hpp"

namespace platform {
namespace {

std::string agentsFolder() {
    return linux_host::homeDirectory() + "/Library/LaunchAgents";
}

bool validName(const std::string& plistName) {
    return !plistName.empty() && plistName.find('/') == std::string::npos && plistName != "." &&
           plistName != "..";
}

std::string jobDescriptionPath(const std::string& plistName, const std::string& bundlePath) {
    return linux_host::rootedPath(bundlePath + "/Contents/Library/LaunchAgents/" + plistName);
}

}  // namespace

AgentServiceStatus agentServiceStatus(const std::string& plistName, const std::string& bundlePath) {
    struct stat status {};
    if (!validName(plistName)) {
        return AgentServiceStatus::notFound;
    }
    if (::stat((agentsFolder() + "/" + plistName).c_str(), &status) == 0) {
        return AgentServiceStatus::enabled;
    }
    if (::stat(jobDescriptionPath(plistName, bundlePath).c_str(), &status) != 0) {
        return AgentServiceStatus::notFound;
    }
    return AgentServiceStatus::notRegistered;
}

std::optional<std::string> registerAgentService(const std::string& plistName,
                                                const std::string& bundlePath) {
    if (!validName(plistName)) {
        return "Invalid job name.";
    }
    const std::string source = jobDescriptionPath(plistName, bundlePath);
    const auto job = linux_host::readPropertyListFile(source);
    if (!job || plist_get_node_type(job->get()) != PLIST_DICT) {
        return "No job description at " + source + ".";
    }
    const std::string library = linux_host::homeDirectory() + "/Library";
    ::mkdir(library.c_str(), 0700);
    ::mkdir(agentsFolder().c_str(), 0700);
    const std::string target = agentsFolder() + "/" + plistName;
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out << linux_host::toXml(job->get());
    out.close();
    if (!out) {
        return "Could not write " + target + ".";
    }
    return std::nullopt;
}

std::optional<std::string> unregisterAgentService(const std::string& plistName) {
    if (!validName(plistName)) {
        return "Invalid job name.";
    }
    const std::string target = agentsFolder() + "/" + plistName;
    if (::unlink(target.c_str()) != 0) {
        return std::string(std::strerror(errno));
    }
    return std::nullopt;
}

}  // namespace platform
