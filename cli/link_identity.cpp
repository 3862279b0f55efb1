#include "link_identity.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QHostInfo>
#include <QTimer>
#include <algorithm>
#include <cctype>

#include "serial_port_identity.h"

namespace flashmere::cli {

std::vector<std::string> lookUpHost(const std::string& name, std::int64_t waitMs) {
    QEventLoop loop;
    QHostInfo answer;
    bool answered = false;
    const int id =
        QHostInfo::lookupHost(QString::fromStdString(name), &loop, [&](const QHostInfo& info) {
            answer = info;
            answered = true;
            loop.quit();
        });
    QTimer::singleShot(static_cast<int>(waitMs), &loop, &QEventLoop::quit);
    if (!answered) {
        loop.exec();
    }
    if (!answered) {
        QHostInfo::abortHostLookup(id);
        return {};
    }
    std::vector<std::string> addresses;
    for (const QHostAddress& address : answer.addresses()) {
        addresses.push_back(address.toString().toStdString());
    }
    return addresses;
}

// A numeric address in the form the system writes it ("::1" for
// "0:0::1"); the name's addresses, looked up once, for a host name.
const std::vector<std::string>& LinkNames::addressesOf(const std::string& host) {
    std::string name = host;
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const auto known = addressesOfHost_.find(name);
    if (known != addressesOfHost_.end()) {
        return known->second;
    }
    const QHostAddress numeric(QString::fromStdString(host));
    if (!numeric.isNull()) {
        return addressesOfHost_[name] = {numeric.toString().toStdString()};
    }
    return addressesOfHost_[name] = lookup_(name);
}

std::vector<std::string> LinkNames::identities(const OperatorOptions& options) {
    if (options.linkKind != kLinkNet) {
        return {"com " + serialPortIdentity(options.link.comPortName)};
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
