/// \file
/// Component registration as data: the components the library offers, in
/// their registration order on the palette page "Korvi", and the property
/// editor bound to the server's map-file property. Tools read them (korvi-map
/// finds the property it edits here and lists them with --components).
#pragma once

#include <array>
#include <string_view>

namespace korvi {

/// A component offered on the palette.
struct TComponentRegistration {
  std::string_view ClassName;    ///< the component class
  std::string_view Description;  ///< what it is, in a few words
};

/// A property editor bound to one property of a component class.
struct TPropertyEditorRegistration {
  std::string_view PropertyType;    ///< the type of the property
  std::string_view ComponentClass;  ///< the class that has the property
  std::string_view PropertyName;    ///< the property edited
  std::string_view EditorClass;     ///< the editor
};

/// The palette page of every registered component.
inline constexpr std::string_view PalettePage = "Korvi";

/// The registered components, in registration order.
inline constexpr std::array<TComponentRegistration, 4> RegisteredComponents = {{
    {"TKorvi", "HTTP server"},
    {"TKorviProducer", "loop producer"},
    {"TKorviProcessor", "dynamic page processor"},
    {"TKorviSessions", "session manager"},
}};

/// The URL map editor (ZIniProperty) edits the server's map-file name.
inline constexpr TPropertyEditorRegistration MapFileEditor = {"string", "TKorvi", "URLMapIniFile",
                                                              "ZIniProperty"};

}  // namespace korvi
