#include "config/xml_document.h"

#include <libxml/entities.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/valid.h>
#include <libxml/xmlerror.h>
#include <libxml/xpath.h>

#include <cstring>
#include <mutex>

#include "platform/win_error.h"
#include "support/errors.h"
#include "support/file_ops.h"
#include "support/format.h"
#include "support/xml_error.h"

namespace {

// An attribute value built from internal entities may not grow beyond this;
// the parser's own amplification check catches the classic attacks, this
// bounds what the attribute lookup itself expands.
constexpr size_t kMaxAttributeLength = 1 << 20;
constexpr int kMaxEntityDepth = 40;

constexpr size_t kLargestDocument = 1 << 20;

// The document is read by vxmlLoad itself; every other resource it names
// (external DTD, external entity, XInclude) is refused.
xmlParserInputPtr refusingEntityLoader(const char*, const char*, xmlParserCtxtPtr) { return nullptr; }

std::mutex libraryMutex;
bool libraryUp = false;
int libraryScopes = 0;

void setUpLibrary() {
  std::lock_guard<std::mutex> lock(libraryMutex);
  if (libraryUp) return;
  xmlInitParser();
  xmlSetExternalEntityLoader(refusingEntityLoader);
  libraryUp = true;
}

// Collects what libxml2 reports during one load instead of letting it print.
class ErrorCapture {
 public:
  ErrorCapture() : previous_(xmlStructuredError), previousContext_(xmlStructuredErrorContext) {
    xmlSetStructuredErrorFunc(this, &ErrorCapture::onError);
  }
  ~ErrorCapture() { xmlSetStructuredErrorFunc(previousContext_, previous_); }
  ErrorCapture(const ErrorCapture&) = delete;
  ErrorCapture& operator=(const ErrorCapture&) = delete;

  bool hasError() const { return !firstError_.empty(); }
  // The first error, else the first warning, else the fallback.
  std::string reason(const std::string& fallback) const {
    if (!firstError_.empty()) return firstError_;
    if (!firstWarning_.empty()) return firstWarning_;
    return fallback;
  }

 private:
  static void onError(void* self, xmlErrorPtr error) {
    auto* capture = static_cast<ErrorCapture*>(self);
    if (error == nullptr) return;
    std::string& slot = error->level >= XML_ERR_ERROR ? capture->firstError_ : capture->firstWarning_;
    if (!slot.empty()) return;
    std::string message = error->message != nullptr ? error->message : "unknown XML error";
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
    if (error->line > 0) {
      message += error->int2 > 0 ? formatString(" (line %d, column %d)", error->line, error->int2)
                                 : formatString(" (line %d)", error->line);
    }
    slot = message;
  }

  xmlStructuredErrorFunc previous_;
  void* previousContext_;
  std::string firstError_;
  std::string firstWarning_;
};

// A DOCTYPE that brings declarations of its own; one that only names an
// outside DTD brings nothing this reader may use.
bool hasInternalSubset(xmlDocPtr doc) { return doc->intSubset != nullptr && doc->intSubset->children != nullptr; }

// Validates against the internal subset only: the outside identifiers are
// hidden for the call so that libxml2 does not go and fetch them.
bool validateAgainstInternalSubset(xmlDocPtr doc) {
  xmlDtdPtr dtd = doc->intSubset;
  const xmlChar* externalId = dtd->ExternalID;
  const xmlChar* systemId = dtd->SystemID;
  dtd->ExternalID = nullptr;
  dtd->SystemID = nullptr;
  xmlValidCtxtPtr validation = xmlNewValidCtxt();
  const int valid = validation != nullptr ? xmlValidateDocument(validation, doc) : 0;
  if (validation != nullptr) xmlFreeValidCtxt(validation);
  dtd->ExternalID = externalId;
  dtd->SystemID = systemId;
  return valid != 0;
}

void appendValue(xmlDocPtr doc, xmlNodePtr node, std::string& out, int depth, const char* attributeName) {
  if (depth > kMaxEntityDepth)
    throw XmlError(formatString("Entities nest too deeply in the attribute '%s'", attributeName));
  for (; node != nullptr; node = node->next) {
    if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
      if (node->content != nullptr) out += reinterpret_cast<const char*>(node->content);
    } else if (node->type == XML_ENTITY_REF_NODE) {
      xmlEntityPtr entity = xmlGetDocEntity(doc, node->name);
      if (entity == nullptr) continue;
      if (entity->etype == XML_INTERNAL_PREDEFINED_ENTITY) {
        if (entity->content != nullptr) out += reinterpret_cast<const char*>(entity->content);
      } else if (entity->etype == XML_INTERNAL_GENERAL_ENTITY) {
        if (entity->children != nullptr)
          appendValue(doc, entity->children, out, depth + 1, attributeName);
        else if (entity->content != nullptr)
          out += reinterpret_cast<const char*>(entity->content);
      }
      // External entities are never loaded, so they contribute nothing.
    }
    if (out.size() > kMaxAttributeLength)
      throw XmlError(formatString("The attribute '%s' expands to more than %zu characters", attributeName,
                                  kMaxAttributeLength));
  }
}

} // namespace

XmlElement::XmlElement(_xmlNode* node)
    : node_(node), name_(node->name != nullptr ? reinterpret_cast<const char*>(node->name) : "") {}

std::optional<std::string> XmlElement::attribute(const char* attributeName) const {
  xmlAttrPtr found = xmlHasNsProp(node_, reinterpret_cast<const xmlChar*>(attributeName), nullptr);
  if (found == nullptr) return std::nullopt;
  if (found->type == XML_ATTRIBUTE_DECL) {
    // A default declared in the document's own DOCTYPE.
    const auto* declaration = reinterpret_cast<xmlAttributePtr>(found);
    if (declaration->defaultValue == nullptr) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(declaration->defaultValue));
  }
  std::string value;
  appendValue(node_->doc, found->children, value, 0, attributeName);
  return value;
}

std::string XmlElement::attributeOrEmpty(const char* attributeName) const {
  return attribute(attributeName).value_or(std::string());
}

std::vector<XmlElement> XmlElement::selectElements(const char* xpath) const {
  std::unique_ptr<xmlXPathContext, decltype(&xmlXPathFreeContext)> context(xmlXPathNewContext(node_->doc),
                                                                           &xmlXPathFreeContext);
  if (!context) throw XmlError("Out of memory creating an XPath context");
  context->node = node_;
  std::unique_ptr<xmlXPathObject, decltype(&xmlXPathFreeObject)> result(
      xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(xpath), context.get()), &xmlXPathFreeObject);
  if (!result) throw XmlError(formatString("Invalid XPath expression '%s'", xpath));
  if (result->type != XPATH_NODESET) throw XmlError(formatString("The XPath '%s' selects no node list", xpath));
  std::vector<XmlElement> elements;
  if (result->nodesetval == nullptr) return elements;
  for (int i = 0; i < result->nodesetval->nodeNr; ++i) {
    xmlNodePtr node = result->nodesetval->nodeTab[i];
    if (node == nullptr || node->type != XML_ELEMENT_NODE)
      throw XmlError(formatString("Invalid pointer: the XPath '%s' selected a node that is not an element", xpath));
    elements.push_back(XmlElement(node));
  }
  return elements;
}

std::optional<XmlElement> XmlElement::selectFirstElement(const char* xpath) const {
  std::vector<XmlElement> elements = selectElements(xpath);
  if (elements.empty()) return std::nullopt;
  return elements.front();
}

void XmlDocument::Free::operator()(_xmlDoc* doc) const { xmlFreeDoc(doc); }

XmlDocument::XmlDocument(_xmlDoc* doc) : doc_(doc) {}

XmlElement XmlDocument::documentElement() const {
  xmlNodePtr root = xmlDocGetRootElement(doc_.get());
  if (root == nullptr) throw XmlError("Invalid pointer: the document has no document element");
  return XmlElement(root);
}

XmlDocument vxmlLoad(const std::string& path) {
  setUpLibrary();
  auto fail = [&path](const std::string& reason) -> XmlDocument {
    throw vexception(reason + " at load " + path, Place{"", "vxmlLoad", 38});
  };

  ErrorCapture errors;
  std::unique_ptr<xmlParserCtxt, decltype(&xmlFreeParserCtxt)> parser(xmlNewParserCtxt(), &xmlFreeParserCtxt);
  if (!parser) return fail("Out of memory creating the XML parser");

  // No XML_PARSE_NOENT, XML_PARSE_DTDLOAD, XML_PARSE_DTDVALID or
  // XML_PARSE_HUGE: each of them would load outside resources or lift the
  // entity limits.
  const int options = XML_PARSE_NONET | XML_PARSE_NOCDATA;
  // Read here rather than by the library: the file is opened as every file
  // of a webspace is (no link followed, no FIFO waited on), and a file far
  // larger than any configuration is not read to its end.
  std::string content;
  try {
    VFile file;
    file.open(path, file_open::GenericRead, file_open::ShareRead, file_open::OpenExisting, 0);
    char buffer[65536];
    for (size_t got; (got = file.read(buffer, sizeof buffer)) != 0;) {
      content.append(buffer, got);
      if (content.size() > kLargestDocument)
        return fail(formatString("The file is larger than %u bytes, more than any configuration holds",
                                 static_cast<unsigned>(kLargestDocument)));
    }
  } catch (const vosexception& e) {
    const auto reason = platform::systemMessage(e.errorCode());
    return fail("Cannot read the file: " + (reason ? *reason : e.message()));
  }
  xmlDocPtr raw = xmlCtxtReadMemory(parser.get(), content.data(), static_cast<int>(content.size()), path.c_str(),
                                    nullptr, options);
  if (raw == nullptr && !errors.hasError()) return fail(errors.reason("Cannot read the file"));
  if (raw == nullptr || !parser->wellFormed) {
    if (raw != nullptr) xmlFreeDoc(raw);
    return fail(errors.reason("The file is not well-formed XML"));
  }
  XmlDocument document(raw);
  if (hasInternalSubset(raw) && !validateAgainstInternalSubset(raw))
    return fail(errors.reason("The document does not match its DOCTYPE"));
  if (xmlDocGetRootElement(raw) == nullptr) return fail("The document has no document element");
  return document;
}

XmlLibraryScope::XmlLibraryScope() {
  setUpLibrary();
  std::lock_guard<std::mutex> lock(libraryMutex);
  ++libraryScopes;
}

XmlLibraryScope::~XmlLibraryScope() {
  std::lock_guard<std::mutex> lock(libraryMutex);
  if (--libraryScopes > 0 || !libraryUp) return;
  // The last scope of the process releases the library's global state; a
  // later load sets it up again.
  xmlCleanupParser();
  libraryUp = false;
}
