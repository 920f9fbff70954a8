// SPDX-License-Identifier: MIT
// Record readers over the value source: which shapes each target takes, which
// field a key names, the order of the checks and the message of each failure.
#include "nj/config.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include "message_text.hpp"
#include "nj/error.hpp"

namespace nj {

namespace {

// Unwinds a record-rule failure up to read_config, which alone catches it.
// Deliberately not a std::exception, so that no handler meant for other
// failures can take it by mistake.
struct RecordRuleFailure {
  std::string message;
};

[[noreturn]] void fail(std::string message) { throw RecordRuleFailure{std::move(message)}; }

SourceValue& require(const std::unique_ptr<SourceValue>& value) {
  if (!value) internal_failure("the value source handed out no value");
  return *value;
}

// Holds a source to its promise of calling exactly one visitor method.
class ExactlyOnce final : public ShapeVisitor {
 public:
  explicit ExactlyOnce(ShapeVisitor& target) : target_(target) {}
  void map(MapView& entries) override { enter().map(entries); }
  void sequence(SequenceView& elements) override { enter().sequence(elements); }
  void text(std::string_view utf8) override { enter().text(utf8); }
  void boolean(bool value) override { enter().boolean(value); }
  void integer(std::int64_t value) override { enter().integer(value); }
  void floating(double value) override { enter().floating(value); }
  void none() override { enter().none(); }
  bool called() const noexcept { return called_; }

 private:
  ShapeVisitor& enter() {
    if (called_) internal_failure("the value source showed one value in two shapes");
    called_ = true;
    return target_;
  }
  ShapeVisitor& target_;
  bool called_ = false;
};

void visit(SourceValue& value, ShapeVisitor& target) {
  ExactlyOnce once(target);
  value.classify(once);
  if (!once.called()) internal_failure("the value source showed a value in no shape");
}

// A read target: every shape it does not take is refused with
// "invalid type: <what was found>, expected <expected-text>".
class Target : public ShapeVisitor {
 public:
  explicit Target(std::string_view expected) : expected_(expected) {}
  void map(MapView&) override { refuse("map"); }
  void sequence(SequenceView&) override { refuse("sequence"); }
  void text(std::string_view utf8) override { refuse("string " + quote_text(utf8)); }
  void boolean(bool value) override { refuse(fill("boolean `{}`", value ? "true" : "false")); }
  void integer(std::int64_t value) override { refuse(fill("integer `{}`", value)); }
  void floating(double value) override { refuse(fill("floating point `{}`", render_float(value))); }
  void none() override { refuse("Option value"); }

 protected:
  [[noreturn]] void refuse(const std::string& found) const {
    fail(fill("invalid type: {}, expected {}", found, expected_));
  }

 private:
  std::string_view expected_;
};

// Takes every shape and asks the source to walk all of it. Nested maps and
// sequences go on an explicit stack (first child on top, so the walk keeps
// depth-first order), so arbitrarily deep data cannot exhaust the C++ stack.
class DiscardWalker final : public ShapeVisitor {
 public:
  void map(MapView& entries) override {
    const std::size_t mark = pending_.size();
    std::unique_ptr<SourceValue> key;
    std::unique_ptr<SourceValue> value;
    while (entries.next(key, value)) {
      require(key);
      require(value);
      pending_.push_back(std::move(key));
      pending_.push_back(std::move(value));
    }
    reverse_from(mark);
  }
  void sequence(SequenceView& elements) override {
    const std::size_t mark = pending_.size();
    const std::size_t count = elements.size();
    for (std::size_t k = 0; k < count; ++k) {
      std::unique_ptr<SourceValue> element = elements.element(k);
      require(element);
      pending_.push_back(std::move(element));
    }
    reverse_from(mark);
  }
  void text(std::string_view) override {}
  void boolean(bool) override {}
  void integer(std::int64_t) override {}
  void floating(double) override {}
  void none() override {}

  void walk(SourceValue& root) {
    visit(root, *this);
    while (!pending_.empty()) {
      const std::unique_ptr<SourceValue> value = std::move(pending_.back());
      pending_.pop_back();
      visit(*value, *this);
    }
  }

 private:
  void reverse_from(std::size_t mark) {
    std::reverse(pending_.begin() + static_cast<std::ptrdiff_t>(mark), pending_.end());
  }
  std::vector<std::unique_ptr<SourceValue>> pending_;
};

void discard(SourceValue& value) { DiscardWalker().walk(value); }

// A record's shape: its name, its expected-text, its field names in
// declaration order and how each field is read into it.
template <class Record, std::size_t N>
struct RecordShape {
  std::string_view name;
  std::string_view expected;
  std::array<std::string_view, N> fields;
  void (*read_field)(Record& record, std::size_t field, SourceValue& value);
};

constexpr std::size_t unknown_field = static_cast<std::size_t>(-1);

// The field a key names, compared byte for byte, or unknown_field.
template <std::size_t N>
class FieldKeyTarget final : public Target {
 public:
  explicit FieldKeyTarget(const std::array<std::string_view, N>& fields)
      : Target("field identifier"), fields_(fields) {}
  void text(std::string_view utf8) override {
    const auto at = std::find(fields_.begin(), fields_.end(), utf8);
    field = at == fields_.end() ? unknown_field : static_cast<std::size_t>(at - fields_.begin());
  }
  std::size_t field = unknown_field;

 private:
  const std::array<std::string_view, N>& fields_;
};

template <class Record, std::size_t N>
class RecordTarget final : public Target {
 public:
  explicit RecordTarget(const RecordShape<Record, N>& shape) : Target(shape.expected), shape_(shape) {}

  // A repeated field fails before its value is looked at; absent fields are
  // checked only once every entry is read.
  void map(MapView& entries) override {
    std::array<bool, N> present{};
    std::unique_ptr<SourceValue> key;
    std::unique_ptr<SourceValue> value;
    while (entries.next(key, value)) {
      const std::size_t field = field_named_by(require(key));
      if (field == unknown_field) {
        discard(require(value));
        continue;
      }
      if (present[field]) fail(fill("duplicate field `{}`", shape_.fields[field]));
      shape_.read_field(record, field, require(value));
      present[field] = true;
    }
    for (std::size_t k = 0; k < N; ++k) {
      if (!present[k]) fail(fill("missing field `{}`", shape_.fields[k]));
    }
  }

  // Elements after the last field are never asked for.
  void sequence(SequenceView& elements) override {
    const std::size_t count = elements.size();
    for (std::size_t k = 0; k < N; ++k) {
      if (k >= count) {
        fail(fill("invalid length {}, expected {} with {} elements", count, shape_.expected, N));
      }
      shape_.read_field(record, k, require(elements.element(k)));
    }
  }

  Record record;

 private:
  std::size_t field_named_by(SourceValue& key) const {
    FieldKeyTarget<N> target(shape_.fields);
    visit(key, target);
    return target.field;
  }

  const RecordShape<Record, N>& shape_;
};

// A wrapper naming the record is replaced by the value it holds, once.
template <class Record, std::size_t N>
Record read_record(SourceValue& value, const RecordShape<Record, N>& shape) {
  const std::unique_ptr<SourceValue> inner = value.unwrap_record(shape.name);
  RecordTarget<Record, N> target(shape);
  visit(inner ? *inner : value, target);
  return std::move(target.record);
}

class TextTarget final : public Target {
 public:
  TextTarget() : Target("a string") {}
  void text(std::string_view utf8) override { result.assign(utf8); }
  std::string result;
};

std::string read_text(SourceValue& value) {
  TextTarget target;
  visit(value, target);
  return std::move(target.result);
}

class CountTarget final : public Target {
 public:
  CountTarget() : Target("usize") {}
  void integer(std::int64_t value) override {
    if (value < 0) fail(fill("invalid value: integer `{}`, expected usize", value));
    result = static_cast<std::uint64_t>(value);
  }
  std::uint64_t result = 0;
};

std::uint64_t read_count(SourceValue& value) {
  CountTarget target;
  visit(value, target);
  return target.result;
}

constexpr std::array<SubstitutionModel, 4> all_models = {
    SubstitutionModel::PDiff, SubstitutionModel::JukesCantor, SubstitutionModel::Kimura2P,
    SubstitutionModel::Poisson};

std::string variant_list() {
  std::string out = "one of ";
  for (const SubstitutionModel model : all_models) {
    if (model != all_models.front()) out += ", ";
    out += fill("`{}`", model_name(model));
  }
  return out;
}

// The payload of a variant form is dropped without being read. The name is
// shown as given, only made valid UTF-8.
SubstitutionModel read_model(SourceValue& value) {
  if (std::optional<VariantForm> form = value.variant_form()) {
    for (const SubstitutionModel model : all_models) {
      if (form->name == model_name(model)) return model;
    }
    fail(fill("unknown variant `{}`, expected {}", valid_utf8(form->name), variant_list()));
  }
  Target refuse_all("enum SubstitutionModel");
  visit(value, refuse_all);
  internal_failure("the model target took a shape it refuses");
}

void read_sequence_object_field(SequenceObject& record, std::size_t field, SourceValue& value) {
  (field == 0 ? record.identifier : record.sequence) = read_text(value);
}

constexpr RecordShape<SequenceObject, 2> sequence_object_shape = {
    "SequenceObject", "struct SequenceObject", {"identifier", "sequence"}, read_sequence_object_field};

class SequenceListTarget final : public Target {
 public:
  SequenceListTarget() : Target("a sequence") {}
  void sequence(SequenceView& elements) override {
    const std::size_t count = elements.size();
    result.reserve(count);
    for (std::size_t k = 0; k < count; ++k) {
      result.push_back(read_record(require(elements.element(k)), sequence_object_shape));
    }
  }
  std::vector<SequenceObject> result;
};

std::vector<SequenceObject> read_sequence_list(SourceValue& value) {
  SequenceListTarget target;
  visit(value, target);
  return std::move(target.result);
}

void read_config_field(NJConfig& record, std::size_t field, SourceValue& value) {
  switch (field) {
    case 0: record.msa = read_sequence_list(value); return;
    case 1: record.n_bootstrap_samples = read_count(value); return;
    default: record.substitution_model = read_model(value); return;
  }
}

constexpr RecordShape<NJConfig, 3> config_shape = {
    "NJConfig", "struct NJConfig", {"msa", "n_bootstrap_samples", "substitution_model"}, read_config_field};

}  // namespace

std::expected<NJConfig, std::string> read_config(SourceValue& root) {
  try {
    return read_record(root, config_shape);
  } catch (RecordRuleFailure& failure) {
    return std::unexpected(std::move(failure.message));
  }
}

}  // namespace nj
