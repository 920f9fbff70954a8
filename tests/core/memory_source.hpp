// SPDX-License-Identifier: MIT
// An in-memory value source for tests: a tree of tagged values that shows
// itself to the configuration readers the way caller data would.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "nj/config.hpp"
#include "nj/error.hpp"

namespace nj::testing {

/// What a Throws value throws. Not a std::exception, so a reader that caught
/// more than its own failures would be caught out.
struct SourceFailure {
  std::string message;
};

struct Node;
using NodePtr = std::shared_ptr<Node>;

struct Entry {
  Entry(std::string_view key_text, NodePtr entry_value);
  Entry(NodePtr entry_key, NodePtr entry_value) : key(std::move(entry_key)), value(std::move(entry_value)) {}
  NodePtr key;
  NodePtr value;
};

/// One value. Nodes are shared, so one node can appear in several places.
struct Node {
  enum class Kind { Map, Sequence, Text, Boolean, Integer, Floating, None, Throws, Unsupported };

  Kind kind = Kind::None;
  /// Map: built from a dictionary. Only dictionaries unwrap a record named
  /// by one of their keys and show themselves as variant forms.
  bool dictionary = true;
  /// Throws: fail as soon as a view hands the value out, before anything is
  /// asked of it; otherwise fail when it is classified, unwrapped or asked
  /// for a variant form.
  bool throws_when_fetched = false;
  std::vector<Entry> entries;      // Map, in the order they are presented
  std::vector<NodePtr> elements;   // Sequence
  std::string text;                // Text; the message of Throws; the type of Unsupported
  bool boolean = false;
  std::int64_t integer = 0;
  double floating = 0.0;

  Node() = default;
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;
  /// Releases arbitrarily deep trees without recursion.
  ~Node();
};

inline Node::~Node() {
  std::vector<NodePtr> orphans;
  const auto adopt_children = [&orphans](Node& node) {
    for (Entry& entry : node.entries) {
      orphans.push_back(std::move(entry.key));
      orphans.push_back(std::move(entry.value));
    }
    node.entries.clear();
    for (NodePtr& element : node.elements) orphans.push_back(std::move(element));
    node.elements.clear();
  };
  adopt_children(*this);
  while (!orphans.empty()) {
    NodePtr last = std::move(orphans.back());
    orphans.pop_back();
    if (last && last.use_count() == 1) adopt_children(*last);
  }
}

inline NodePtr make_node(Node::Kind kind) {
  auto node = std::make_shared<Node>();
  node->kind = kind;
  return node;
}

inline NodePtr str(std::string_view text) {
  NodePtr node = make_node(Node::Kind::Text);
  node->text = text;
  return node;
}

inline Entry::Entry(std::string_view key_text, NodePtr entry_value)
    : key(str(key_text)), value(std::move(entry_value)) {}

inline NodePtr boolean(bool value) {
  NodePtr node = make_node(Node::Kind::Boolean);
  node->boolean = value;
  return node;
}

inline NodePtr integer(std::int64_t value) {
  NodePtr node = make_node(Node::Kind::Integer);
  node->integer = value;
  return node;
}

inline NodePtr floating(double value) {
  NodePtr node = make_node(Node::Kind::Floating);
  node->floating = value;
  return node;
}

inline NodePtr none() { return make_node(Node::Kind::None); }

inline NodePtr list(std::vector<NodePtr> elements = {}) {
  NodePtr node = make_node(Node::Kind::Sequence);
  node->elements = std::move(elements);
  return node;
}

/// A map built from a dictionary.
inline NodePtr dict(std::vector<Entry> entries = {}) {
  NodePtr node = make_node(Node::Kind::Map);
  node->entries = std::move(entries);
  return node;
}

/// A map built from some other object: never unwrapped, never a variant form.
inline NodePtr object(std::vector<Entry> entries = {}) {
  NodePtr node = dict(std::move(entries));
  node->dictionary = false;
  return node;
}

/// Throws SourceFailure{message} when asked anything.
inline NodePtr throwing(std::string message) {
  NodePtr node = make_node(Node::Kind::Throws);
  node->text = std::move(message);
  return node;
}

/// Throws SourceFailure{message} as soon as a view hands it out.
inline NodePtr throwing_when_fetched(std::string message) {
  NodePtr node = throwing(std::move(message));
  node->throws_when_fetched = true;
  return node;
}

/// A value of no supported kind: classifying it is a broken assumption.
inline NodePtr unsupported(std::string type_text) {
  NodePtr node = make_node(Node::Kind::Unsupported);
  node->text = std::move(type_text);
  return node;
}

inline const std::string unsupported_prefix = "internal error: entered unreachable code: Unsupported type: ";

/// The SourceValue over one node.
class MemoryValue final : public SourceValue {
 public:
  explicit MemoryValue(NodePtr node) : node_(std::move(node)) {}

  static std::unique_ptr<SourceValue> fetched(const NodePtr& node) {
    if (node->kind == Node::Kind::Throws && node->throws_when_fetched) throw SourceFailure{node->text};
    return std::make_unique<MemoryValue>(node);
  }

  void classify(ShapeVisitor& visitor) override;

  std::unique_ptr<SourceValue> unwrap_record(std::string_view record_name) override {
    fail_if_throwing();
    if (!is_dictionary()) return nullptr;
    for (const Entry& entry : node_->entries) {
      if (entry.key->kind != Node::Kind::Text || entry.key->text != record_name) continue;
      const Node& inner = *entry.value;
      if (inner.kind == Node::Kind::Map && inner.dictionary) return std::make_unique<MemoryValue>(entry.value);
      return nullptr;
    }
    return nullptr;
  }

  std::optional<VariantForm> variant_form() override {
    fail_if_throwing();
    if (node_->kind == Node::Kind::Text) return VariantForm{node_->text, nullptr};
    if (is_dictionary() && node_->entries.size() == 1 && node_->entries[0].key->kind == Node::Kind::Text) {
      const Entry& only = node_->entries[0];
      return VariantForm{only.key->text, std::make_unique<MemoryValue>(only.value)};
    }
    return std::nullopt;
  }

 private:
  bool is_dictionary() const { return node_->kind == Node::Kind::Map && node_->dictionary; }
  void fail_if_throwing() const {
    if (node_->kind == Node::Kind::Throws) throw SourceFailure{node_->text};
  }
  NodePtr node_;
};

class MemoryMapView final : public MapView {
 public:
  explicit MemoryMapView(const Node& node) : node_(node) {}
  bool next(std::unique_ptr<SourceValue>& key, std::unique_ptr<SourceValue>& value) override {
    if (next_ == node_.entries.size()) return false;
    const Entry& entry = node_.entries[next_++];
    key = MemoryValue::fetched(entry.key);
    value = MemoryValue::fetched(entry.value);
    return true;
  }

 private:
  const Node& node_;
  std::size_t next_ = 0;
};

class MemorySequenceView final : public SequenceView {
 public:
  explicit MemorySequenceView(const Node& node) : node_(node) {}
  std::size_t size() const override { return node_.elements.size(); }
  std::unique_ptr<SourceValue> element(std::size_t k) override {
    return MemoryValue::fetched(node_.elements.at(k));
  }

 private:
  const Node& node_;
};

inline void MemoryValue::classify(ShapeVisitor& visitor) {
  const Node& node = *node_;
  switch (node.kind) {
    case Node::Kind::Map: {
      MemoryMapView view(node);
      visitor.map(view);
      return;
    }
    case Node::Kind::Sequence: {
      MemorySequenceView view(node);
      visitor.sequence(view);
      return;
    }
    case Node::Kind::Text: visitor.text(node.text); return;
    case Node::Kind::Boolean: visitor.boolean(node.boolean); return;
    case Node::Kind::Integer: visitor.integer(node.integer); return;
    case Node::Kind::Floating: visitor.floating(node.floating); return;
    case Node::Kind::None: visitor.none(); return;
    case Node::Kind::Throws: throw SourceFailure{node.text};
    case Node::Kind::Unsupported: internal_failure(unsupported_prefix + node.text);
  }
}

/// Reads a configuration from an in-memory tree.
inline std::expected<NJConfig, std::string> read_memory_config(const NodePtr& root) {
  MemoryValue value(root);
  return read_config(value);
}

}  // namespace nj::testing
