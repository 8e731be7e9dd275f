// TDataSet: the cursor over rows held in memory, and the field list.
#include "korvi/data/data_set.h"

#include "korvi/data/database_error.h"
#include "korvi/host/exceptions.h"
#include "korvi/host/sysutils.h"

namespace korvi {

TDataSet::TDataSet(TComponent* owner) : TComponent(owner) {}

TDataSet::~TDataSet() = default;

void TDataSet::Open() {
  if (active_) return;
  InternalOpen();
  active_ = true;
  First();
}

void TDataSet::Close() {
  if (!active_) return;
  InternalClose();
  active_ = false;
  cursor_ = 0;
  eof_ = bof_ = true;
}

void TDataSet::SetActive(bool value) {
  if (value) {
    Open();
  } else {
    Close();
  }
}

void TDataSet::First() {
  CheckActive();
  cursor_ = 0;
  bof_ = true;
  eof_ = records_.empty();
}

void TDataSet::Last() {
  CheckActive();
  cursor_ = records_.empty() ? 0 : static_cast<int>(records_.size()) - 1;
  eof_ = true;
  bof_ = records_.empty();
}

void TDataSet::Next() {
  CheckActive();
  if (eof_) return;
  bof_ = false;
  if (cursor_ + 1 < static_cast<int>(records_.size())) {
    ++cursor_;
  } else {
    eof_ = true;
  }
}

void TDataSet::Prior() {
  CheckActive();
  if (bof_) return;
  eof_ = false;
  if (cursor_ > 0) {
    --cursor_;
  } else {
    bof_ = true;
  }
}

int TDataSet::RecordCount() const {
  CheckActive();
  return static_cast<int>(records_.size());
}

TField* TDataSet::Fields(int index) const {
  if (index < 0 || index >= FieldCount()) {
    throw EListError(Format("List index out of bounds (%d)", {index}));
  }
  return fields_[static_cast<size_t>(index)].get();
}

TField* TDataSet::FindField(std::string_view name) const {
  for (const auto& field : fields_) {
    if (SameText(field->FieldName(), name)) return field.get();
  }
  return nullptr;
}

TField& TDataSet::FieldByName(std::string_view name) const {
  TField* field = FindField(name);
  if (field == nullptr) throw EDatabaseError(Format("Field '%s' not found", {name}));
  return *field;
}

void TDataSet::CheckActive() const {
  if (!active_) throw EDatabaseError("Cannot perform this operation on a closed dataset");
}

void TDataSet::CheckInactive() const {
  if (active_) throw EDatabaseError("Cannot perform this operation on an open dataset");
}

TField* TDataSet::AddFieldNamed(std::string name) {
  fields_.push_back(
      std::unique_ptr<TField>(new TField(this, std::move(name), static_cast<int>(fields_.size()))));
  return fields_.back().get();
}

void TDataSet::SetFieldNames(const std::vector<std::string>& names) {
  bool same = names.size() == fields_.size();
  for (size_t i = 0; same && i < names.size(); ++i)
    same = fields_[i]->FieldName() == names[i];
  if (same) return;
  fields_.clear();
  for (const std::string& name : names)
    AddFieldNamed(name);
}

Variant TDataSet::FieldValue(int index) const {
  CheckActive();
  if (records_.empty()) return Variant();
  const TRecord& record = records_[static_cast<size_t>(cursor_)];
  if (index < 0 || static_cast<size_t>(index) >= record.size()) return Variant();
  return record[static_cast<size_t>(index)];
}

}  // namespace korvi
