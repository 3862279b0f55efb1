#pragma once

#include <map>
#include <string>
#include <vector>

#include "operator/operator_panel.h"

namespace flashmere::cli {

// Which rows of a fleet share one link, however each row writes it: a serial
// port by the device it opens, a TCP link by the addresses its host name
// resolves to and its port ("localhost:5003" and "127.0.0.1:5003" are one).
class LinkNames {
  public:
    // The key of the link the options open; rows with one key share a link.
    std::string keyOf(const OperatorOptions& options);

  private:
    std::vector<std::string> identities(const OperatorOptions& options);
    const std::vector<std::string>& addressesOf(const std::string& host);

    std::map<std::string, std::string> keyOfIdentity_;
    std::map<std::string, std::vector<std::string>> addressesOfHost_;
};

}  // namespace flashmere::cli
