// Outgoing cookies and the text of their "Set-Cookie" headers.
#include "korvi/web/cookie.h"

#include "korvi/host/exceptions.h"

namespace korvi {

namespace {

// The text of a SameSite value after "SameSite=" ("" for ssUnset).
std::string SameSiteText(TSameSite value) {
  switch (value) {
    case ssLax:
      return "Lax";
    case ssStrict:
      return "Strict";
    case ssNone:
      return "None";
    case ssUnset:
      break;
  }
  return "";
}

}  // namespace

TKCookie::TKCookie(TCollection* collection) : TCollectionItem(collection) {}

void TKCookie::AssignTo(TKCookie& target) const {
  target.Name = Name;
  target.Value = Value;
  target.Path = Path;
  target.Domain = Domain;
  target.Expires = Expires;
  target.Secure = Secure;
  target.HttpOnly = HttpOnly;
  target.SameSite = SameSite;
}

void TKCookie::Assign(const TCollectionItem& source) {
  if (const auto* cookie = dynamic_cast<const TKCookie*>(&source)) {
    cookie->AssignTo(*this);
  } else {
    TCollectionItem::Assign(source);
  }
}

std::string TKCookie::GetHeaderValue() const {
  std::string text = Format("%s=%s; ", {Name, Value});
  if (!Domain.empty()) text += Format("domain=%s; ", {Domain});
  if (!Path.empty()) text += Format("path=%s; ", {Path});
  if (Expires > -1.0) {
    text += "expires=" + FormatDateTime("ddd, dd mmm yyyy hh:nn:ss \"GMT\"", Expires) + "; ";
  }
  if (Secure || SameSite == ssNone) text += "secure; ";
  if (HttpOnly) text += "HttpOnly; ";
  if (SameSite != ssUnset) text += "SameSite=" + SameSiteText(SameSite);
  if (text.size() >= 2 && text.compare(text.size() - 2, 2, "; ") == 0) text.resize(text.size() - 2);
  return text;
}

}  // namespace korvi
