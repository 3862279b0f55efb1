#include "device_links.h"

#include "link/qt_transport_factory.h"

namespace flashmere::cli {

DeviceLinks& deviceLinks() {
    static DeviceLinks links{
        []() -> Clock& { return systemClock(); },
        [] { return std::unique_ptr<TransportFactory>(std::make_unique<QtTransportFactory>()); }};
    return links;
}

}  // namespace flashmere::cli
