#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "operator/operator_panel.h"

namespace flashmere::cli {

// Looks one host name up: its addresses, none when it does not resolve
// within the wait.
using HostLookup = std::function<std::vector<std::string>(const std::string& name)>;

// How long a manifest's host name may take to resolve before its spelling
// alone names its link.
inline constexpr std::int64_t kHostLookupWaitMs = 5000;

// The system's resolver, waiting at most waitMs. Needs the Qt application
// object and is called on its thread.
std::vector<std::string> lookUpHost(const std::string& name, std::int64_t waitMs);

// Which rows of a fleet share one link, however each row writes it: a serial
// port by the device it opens, a TCP link by its address and port, a host
// name by the addresses it resolves to ("localhost:5003" and
// "127.0.0.1:5003" are one). A numeric address (IPv4 or IPv6) is never
// looked up; a host name is looked up once, whatever its letters' case.
class LinkNames {
  public:
    explicit LinkNames(HostLookup lookup =
                           [](const std::string& name) {
                               return lookUpHost(name, kHostLookupWaitMs);
                           })
        : lookup_(std::move(lookup)) {}

    // The key of the link the options open; rows with one key share a link.
    std::string keyOf(const OperatorOptions& options);

  private:
    std::vector<std::string> identities(const OperatorOptions& options);
    const std::vector<std::string>& addressesOf(const std::string& host);

    HostLookup lookup_;
    std::map<std::string, std::string> keyOfIdentity_;
    std::map<std::string, std::vector<std::string>> addressesOfHost_;
};

}  // namespace flashmere::cli
