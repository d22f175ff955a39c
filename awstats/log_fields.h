// Records of an IIS log in the one field order AWStats is told to read
// (kIisLogFields). A log whose "#Fields:" line changes inside it would
// otherwise be read in the wrong order from there on, every record after it
// "corrupted".
#pragma once

#include <string>

// True when a "#Fields:" line of the log lists other fields, or the same in
// another order. A "#Fields:" line whose items are no field names (no letter
// in one of them) says nothing and is passed over.
bool needsFixedFieldOrder(const std::string& logPath);
// Writes the log's lines to to (a new file), each record in the fixed order:
// after a "#Fields:" line, every value goes to its field's place, and fields
// it lacks are "-"; fields the order does not know are dropped. Lines that
// begin with "#", records before any "#Fields:" line and records whose count
// of values differs from their "#Fields:" line stay as they are. A
// byte-order mark at the start is dropped. On the disk when it returns.
void writeInFixedFieldOrder(const std::string& from, const std::string& to);
