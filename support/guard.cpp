#include "support/guard.h"

#include "platform/text.h"
#include "support/format.h"
#include "support/xml_error.h"

vexception convertCurrentException(const Place& place) {
  try {
    throw;
  } catch (const std::exception& e) {
    return vexception(text::fromAnsi(e.what()), place);
  } catch (vexception& e) {
    e.addPlace(place);
    return e;
  } catch (const XmlError& e) {
    return vexception(e.message(), place);
  } catch (const cwrpexception& e) {
    return vexception(formatString("C structured exception: 0x%x", e.code()), place);
  } catch (...) {
    return vexception("Unexpected error", place);
  }
}
