// The XML reader of the statistics configuration: libxml2 behind a small DOM
// with the three things the program needs (the document element, XPath
// selection of child elements, attributes that tell absent from empty).
//
// Loading never touches the network and never reads anything but the file
// asked for: no external DTD, no external entity. A DOCTYPE's internal subset
// validates the document; a file without one is only checked for being
// well-formed. libxml2's entity amplification limits stay on.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

struct _xmlDoc;
struct _xmlNode;

class XmlElement {
 public:
  const std::string& name() const { return name_; }
  // The attribute's value; nullopt when the element has no such attribute.
  std::optional<std::string> attribute(const char* attributeName) const;
  // The attribute's value, or "" when it is absent.
  std::string attributeOrEmpty(const char* attributeName) const;
  // The nodes an XPath expression selects from this element, as elements; a
  // selected node that is not an element raises XmlError.
  std::vector<XmlElement> selectElements(const char* xpath) const;
  std::optional<XmlElement> selectFirstElement(const char* xpath) const;

 private:
  friend class XmlDocument;
  explicit XmlElement(_xmlNode* node);
  _xmlNode* node_;
  std::string name_;
};

class XmlDocument {
 public:
  explicit XmlDocument(_xmlDoc* doc);
  XmlElement documentElement() const;

 private:
  struct Free {
    void operator()(_xmlDoc* doc) const;
  };
  std::unique_ptr<_xmlDoc, Free> doc_;
};

// Opens and parses one file. A file that cannot be read, is not well-formed
// or fails the validation against its own DOCTYPE raises a vexception
// "<libxml2's reason> at load <path>" (place vxmlLoad, line 38).
XmlDocument vxmlLoad(const std::string& path);

// The XML library's set-up and clean-up for the process (where the program
// stood COM up and down). vxmlLoad sets the library up itself when needed.
class XmlLibraryScope {
 public:
  XmlLibraryScope();
  ~XmlLibraryScope();
  XmlLibraryScope(const XmlLibraryScope&) = delete;
  XmlLibraryScope& operator=(const XmlLibraryScope&) = delete;
};
