#include "tools/mgmt_service/request_handler.h"

#include <cstdio>

#include "service/requests.h"
#include "service/serializer.h"

namespace mgmt {

namespace {

std::string guidText(const std::string& bytes) {
  auto b = [&](size_t i) { return static_cast<unsigned>(static_cast<uint8_t>(bytes[i])); };
  char buf[48];
  std::snprintf(buf, sizeof buf, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b(3), b(2),
                b(1), b(0), b(5), b(4), b(7), b(6), b(8), b(9), b(10), b(11), b(12), b(13), b(14), b(15));
  return buf;
}

std::string idBytes(const vserializer::Guid& id) {
  const auto bytes = id.bytes();
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

Answer stringAnswer(const std::string& value) {
  vserializer::buffer out;
  out.writeString(value);
  return Answer{std::string(out.bytes()), false, {}};
}

void expectEnd(const vserializer::reader& in, const char* request) {
  if (!in.atEnd()) {
    throw vexception(std::string("Malformed ") + request + " request: " + std::to_string(in.length() - in.position()) +
                     " unexpected bytes after its parameters");
  }
}

// A failure to read the parameters names the request it happened in.
template <class Read>
auto parameters(const char* request, Read&& read) {
  try {
    return read();
  } catch (const vserializer::invalidprotocol& e) {
    throw vexception(std::string("Malformed ") + request + " request: " + e.message());
  }
}

Answer getString(vserializer::reader& in, SettingsFile& settings) {
  const std::string name = parameters("getString", [&] { return in.readString(); });
  expectEnd(in, "getString");
  if (!settings.refresh(false)) return errorAnswer("The management service cannot answer: " + settings.error());
  if (auto value = settings.setting(name)) return stringAnswer(*value);
  return errorAnswer("Unknown setting '" + name + "': the settings file " + settings.path() + " has no line " + name +
                     "=...");
}

Answer componentInfo(vserializer::reader& in, SettingsFile& settings) {
  std::string package;
  uint32_t mode = 0;
  parameters("componentInfo", [&] {
    package = in.readString();
    if (in.readUInt32() != 4) throw vserializer::invalidprotocol("the mode must be a block of 4 bytes");
    mode = in.readUInt32();
    return 0;
  });
  expectEnd(in, "componentInfo");
  if (mode != tarvosrv::ComponentDirectoryMode) {
    return errorAnswer("componentInfo mode " + std::to_string(mode) +
                       " is not supported; mode 2 asks for the installation directory");
  }
  if (!settings.refresh(false)) return errorAnswer("The management service cannot answer: " + settings.error());
  return stringAnswer(settings.component(package).value_or(""));
}

} // namespace

Answer errorAnswer(const std::string& text) {
  vserializer::buffer out;
  out.writeError(text);
  return Answer{std::string(out.bytes()), true, text};
}

Answer answerRequest(const std::string& body, SettingsFile& settings) {
  try {
    vserializer::reader in(body);
    std::string id;
    try {
      if (in.readUInt32() != 16) throw vserializer::invalidprotocol("");
      id = in.readRaw(16);
    } catch (const vserializer::invalidprotocol&) {
      return errorAnswer("Malformed request: the body must begin with the request identifier as a block of 16 bytes");
    }
    if (id == idBytes(tarvosrv::GetStringRequest)) return getString(in, settings);
    if (id == idBytes(tarvosrv::ComponentInfoRequest)) return componentInfo(in, settings);
    return errorAnswer("Unknown request identifier " + guidText(id) + "; this service answers getString " +
                       guidText(idBytes(tarvosrv::GetStringRequest)) + " and componentInfo " +
                       guidText(idBytes(tarvosrv::ComponentInfoRequest)));
  } catch (const vexception& e) {
    return errorAnswer(e.message());
  }
}

} // namespace mgmt
