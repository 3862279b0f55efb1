#include "link_identity.h"

#include <QHostAddress>
#include <QHostInfo>
#include <algorithm>
#include <cctype>

#include "serial_device_path.h"

namespace flashmere::cli {

const std::vector<std::string>& LinkNames::addressesOf(const std::string& host) {
    const auto known = addressesOfHost_.find(host);
    if (known != addressesOfHost_.end()) {
        return known->second;
    }
    std::vector<std::string> addresses;
    for (const QHostAddress& address :
         QHostInfo::fromName(QString::fromStdString(host)).addresses()) {
        addresses.push_back(address.toString().toStdString());
    }
    return addressesOfHost_[host] = std::move(addresses);
}

std::vector<std::string> LinkNames::identities(const OperatorOptions& options) {
    if (options.linkKind != kLinkNet) {
        return {"com " + serialDevicePath(options.link.comPortName)};
    }
    const std::string port = ":" + options.link.netPort;
    std::vector<std::string> out;
    for (const std::string& address : addressesOf(options.link.netIP)) {
        out.push_back("net " + address + port);
    }
    if (out.empty()) {
        // A name that does not resolve fails when its link opens; until
        // then only its spelling tells it apart.
        std::string host = options.link.netIP;
        std::transform(host.begin(), host.end(), host.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        out.push_back("net " + host + port);
    }
    return out;
}

std::string LinkNames::keyOf(const OperatorOptions& options) {
    const std::vector<std::string> names = identities(options);
    std::string key = names.front();
    for (const std::string& name : names) {
        if (const auto known = keyOfIdentity_.find(name); known != keyOfIdentity_.end()) {
            key = known->second;
            break;
        }
    }
    for (const std::string& name : names) {
        keyOfIdentity_.emplace(name, key);
    }
    return key;
}

}  // namespace flashmere::cli
