#include "service/tarvo_srv_client.h"

#include "service/requests.h"
#include "support/format.h"
#include "support/guard.h"
#include "support/logging.h"

TarvoSrvClient& TarvoSrvClient::getInstance() {
  // A failed creation stores nothing: the next call tries again.
  return guardRethrow(Place{"get shared instance of TarvoSrvClient", "TarvoSrvClient::getInstance", 403},
                      []() -> TarvoSrvClient& {
                        static TarvoSrvClient client;
                        return client;
                      });
}

TarvoSrvClient::TarvoSrvClient() : vpipechannel::client(kConfigKey, "zulpipe") {
  std::lock_guard<std::mutex> guard(criticalSection());
  connect(10);
}

std::string TarvoSrvClient::getString(const std::string& name) {
  return guardRethrow(Place{formatString("getString(%s)", name), "TarvoSrvClient::getString", 285}, [&] {
    vserializer::buffer parameters;
    parameters.writeString(name);
    vserializer::reader answer = query(tarvosrv::GetStringRequest, parameters);
    return answer.readString();
  });
}

std::string TarvoSrvClient::componentInfo(const std::string& packageName, uint32_t mode) {
  return guardRethrow(
      Place{formatString("componentInfo for package '%s'", packageName), "TarvoSrvClient::componentInfo", 644}, [&] {
        vserializer::buffer parameters;
        parameters.writeString(packageName);
        uint8_t modeBytes[4];
        for (int i = 0; i < 4; ++i) modeBytes[i] = static_cast<uint8_t>(mode >> (8 * i));
        parameters.writeBlock(modeBytes, 4);
        vserializer::reader answer = query(tarvosrv::ComponentInfoRequest, parameters);
        return answer.readString();
      });
}
