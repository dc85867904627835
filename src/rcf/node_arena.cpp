#include "rcf/node_arena.hpp"

#include <algorithm>
#include <string>

namespace quillon::rcf {

NodeArena::NodeArena(uint64_t box_dim, uint64_t reserve_slots, uint64_t reserve_boxes)
    : dim(box_dim) {
  reserve(reserve_slots, reserve_boxes);
}

void NodeArena::reserve(uint64_t slots, uint64_t internal_nodes) {
  nodes.reserve(slots);
  free.reserve(slots);
  boxes.reserve(internal_nodes * 2 * dim);
  free_boxes.reserve(internal_nodes);
}

namespace {

// Capacity for `needed` elements: a quarter more than now (so that growing one by one copies each
// element a bounded number of times, while a full tree wastes little), at most `limit` unless more
// is needed.
template <class Vector>
void grow_to(Vector& v, uint64_t needed, uint64_t limit) {
  if (v.capacity() >= needed) return;
  uint64_t target = v.capacity() + v.capacity() / 4 + 8;
  if (target > limit) target = limit;
  if (target < needed) target = needed;
  v.reserve(target);
}

}  // namespace

void NodeArena::make_room(uint64_t slot_limit, uint64_t box_limit) {
  grow_to(nodes, nodes.size() + 2, slot_limit);
  grow_to(boxes, boxes.size() + 2 * dim, box_limit * 2 * dim);
  grow_to(free, free.size() + 2, slot_limit);
  grow_to(free_boxes, free_boxes.size() + 1, box_limit);
}

size_t NodeArena::heap_bytes() const {
  return nodes.capacity() * sizeof(Node) + free.capacity() * sizeof(uint64_t) +
         boxes.capacity() * sizeof(float) + free_boxes.capacity() * sizeof(uint32_t);
}

uint64_t NodeArena::place(const Node& node) {
  if (!free.empty()) {
    const uint64_t slot = free.back();
    free.pop_back();
    QUILLON_INVARIANT(slot < nodes.size(), "index out of range in node arena");
    nodes[slot] = node;
    return slot;
  }
  QUILLON_INVARIANT(nodes.size() < kMaxSlots, "too many nodes in one tree");
  nodes.push_back(node);
  return nodes.size() - 1;
}

uint64_t NodeArena::allocate_leaf(uint64_t point_idx, uint64_t mass) {
  QUILLON_INVARIANT(mass < kNoSlot, "leaf mass beyond the capacity limit");
  Node n;
  n.box = kLeafBox;
  n.set_point_idx(point_idx);
  n.mass = static_cast<uint32_t>(mass);
  return place(n);
}

uint64_t NodeArena::allocate_internal(const Node& node) {
  Node n = node;
  if (!free_boxes.empty()) {
    n.box = free_boxes.back();
    free_boxes.pop_back();
  } else {
    const uint64_t entry = boxes.size() / (2 * dim == 0 ? 1 : 2 * dim);
    QUILLON_INVARIANT(entry < kMaxBoxes, "too many internal nodes in one tree");
    n.box = static_cast<uint32_t>(entry);
    boxes.resize(boxes.size() + 2 * dim, 0.0f);
  }
  return place(n);
}

void NodeArena::release(uint64_t i) {
  QUILLON_INVARIANT(i < nodes.size(), "index out of range in node arena");
  if (nodes[i].is_internal()) free_boxes.push_back(nodes[i].box);
  nodes[i] = Node{};
  free.push_back(i);
}

void NodeArena::set_box_dim(uint64_t box_dim) {
  if (dim == box_dim) return;
  QUILLON_INVARIANT(boxes.empty(), "box width of an arena with boxes");
  dim = box_dim;
}

}  // namespace quillon::rcf

namespace quillon::json {

namespace {

using rcf::Node;
using rcf::NodeArena;
using rcf::NodeKind;

struct LeafRecord {
  uint64_t point_idx = 0;
  uint64_t mass = 0;
  static constexpr std::string_view kJsonName = "Leaf";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("point_idx", self.point_idx);
    field("mass", self.mass);
  }
};

// Reads the box into caller-owned scratch so that loading allocates per arena, not per node.
struct BoxRef {
  rcf::BoundingBox* box = nullptr;
};

struct InternalRecord {
  uint64_t left = 0;
  uint64_t right = 0;
  uint64_t cut_dim = 0;
  float cut_val = 0.0f;
  uint64_t mass = 0;
  BoxRef bbox;
  static constexpr std::string_view kJsonName = "Internal";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("left", self.left);
    field("right", self.right);
    field("cut_dim", self.cut_dim);
    field("cut_val", self.cut_val);
    field("mass", self.mass);
    field("bbox", self.bbox);
  }
};

void write_floats(Writer& w, std::span<const float> values) {
  w.put('[');
  for (size_t i = 0; i < values.size(); ++i) {
    if (i != 0) w.put(',');
    w.f32(values[i]);
  }
  w.put(']');
}

void write_node(Writer& w, const NodeArena& arena, uint64_t slot) {
  const Node& n = arena.nodes[slot];
  switch (n.kind()) {
    case NodeKind::Empty: w.null(); return;
    case NodeKind::Leaf:
      w.put("{\"Leaf\":{\"point_idx\":");
      w.u64(n.point_idx());
      w.put(",\"mass\":");
      w.u64(n.mass);
      w.put("}}");
      return;
    case NodeKind::Internal:
      w.put("{\"Internal\":{\"left\":");
      w.u64(n.left);
      w.put(",\"right\":");
      w.u64(n.right);
      w.put(",\"cut_dim\":");
      w.u64(n.cut_dim);
      w.put(",\"cut_val\":");
      w.f32(n.cut_val);
      w.put(",\"mass\":");
      w.u64(n.mass);
      w.put(",\"bbox\":{\"min\":");
      write_floats(w, arena.box_min(slot));
      w.put(",\"max\":");
      write_floats(w, arena.box_max(slot));
      w.put(",\"range_sum\":");
      w.f64(n.range_sum);
      w.put("}}}");
      return;
  }
}

// The "nodes" list, read straight into the arena.
struct NodeList {
  NodeArena* arena = nullptr;
};

struct ArenaRecord {
  NodeList nodes;
  std::vector<uint64_t> free;
  static constexpr std::string_view kJsonName = "NodeArena";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("nodes", self.nodes);
    field("free", self.free);
  }
};

constexpr std::string_view kVariants = "`Leaf` or `Internal`";

// Node fields are 32 bits wide. A saved value beyond that range is out of range for any arena,
// capacity or dimension a forest can have, so it is kept as the largest value, which the
// consistency checks of the loaded forest refuse.
uint32_t saturate32(uint64_t v) {
  return v < rcf::kNoSlot ? static_cast<uint32_t>(v) : rcf::kNoSlot;
}

}  // namespace

template <>
struct Codec<BoxRef> {
  static void write(Writer&, const BoxRef&) {}
  static bool read(Reader& r, BoxRef& ref) {
    return ref.box != nullptr && read_record(r, *ref.box, "struct BoundingBox");
  }
};

template <>
struct Codec<NodeList> {
  static void write(Writer&, const NodeList&) {}

  static bool read(Reader& r, NodeList& list) {
    NodeArena& arena = *list.arena;
    arena.nodes.clear();
    arena.boxes.clear();
    arena.free_boxes.clear();
    arena.dim = 0;
    bool have_dim = false;
    rcf::BoundingBox box;
    InternalRecord internal;
    internal.bbox.box = &box;
    uint64_t box_count = 0;
    if (!r.begin_seq("a sequence")) return false;
    bool has = false;
    while (r.seq_next(has) && has) {
      Node node;
      if (r.take_null()) {
        // an empty slot
      } else if (r.failed()) {
        return false;
      } else if (!read_variant(r, node, internal, box)) {
        return false;
      }
      if (node.is_internal()) {
        if (box.min.size() != box.max.size()) {
          return r.fail_here("bounding box min and max differ in length");
        }
        if (!have_dim) {
          have_dim = true;
          arena.dim = box.min.size();
        } else if (box.min.size() != arena.dim) {
          return r.fail_here("bounding boxes differ in length");
        }
        if (box_count >= rcf::kMaxBoxes) return r.fail_here("too many internal nodes");
        node.box = static_cast<uint32_t>(box_count++);
        arena.boxes.insert(arena.boxes.end(), box.min.begin(), box.min.end());
        arena.boxes.insert(arena.boxes.end(), box.max.begin(), box.max.end());
      }
      if (arena.nodes.size() >= rcf::kMaxSlots) return r.fail_here("too many nodes");
      arena.nodes.push_back(node);
    }
    return !r.failed();
  }

 private:
  static bool read_variant(Reader& r, Node& node, InternalRecord& internal, rcf::BoundingBox& box) {
    if (r.peek() == '"') {
      std::string name;
      if (!r.read_string(name)) return false;
      if (name == "Leaf") {
        return r.invalid_type_here("unit variant", "struct variant Node::Leaf");
      }
      if (name == "Internal") {
        return r.invalid_type_here("unit variant", "struct variant Node::Internal");
      }
      return r.fail_here("unknown variant `" + name + "`, expected " + std::string(kVariants));
    }
    if (!r.begin_map("enum Node")) return false;
    bool has = false;
    std::string_view key;
    if (r.peek() == '}') return r.fail_peek("expected value");
    if (!r.map_next_key(has, key)) return false;
    if (key == "Leaf") {
      LeafRecord leaf;
      if (!r.map_colon() || !read_record(r, leaf, "struct variant Node::Leaf")) return false;
      node.box = rcf::kLeafBox;
      node.set_point_idx(leaf.point_idx);
      node.mass = saturate32(leaf.mass);
    } else if (key == "Internal") {
      if (!r.map_colon() || !read_record(r, internal, "struct variant Node::Internal"))
        return false;
      node.box = 0;  // numbered by the caller
      node.left = saturate32(internal.left);
      node.right = saturate32(internal.right);
      node.cut_dim = saturate32(internal.cut_dim);
      node.cut_val = internal.cut_val;
      node.mass = saturate32(internal.mass);
      node.range_sum = box.range_sum;
    } else {
      return r.fail_here("unknown variant `" + std::string(key) + "`, expected " +
                         std::string(kVariants));
    }
    // A variant is an object with exactly one key.
    const int next = r.peek();
    if (next != '}' && next != -1) return r.fail_here("expected value");
    return r.map_next_key(has, key) && !has;
  }
};

void Codec<rcf::NodeArena>::write(Writer& w, const rcf::NodeArena& arena) {
  w.put("{\"nodes\":[");
  for (uint64_t i = 0; i < arena.nodes.size(); ++i) {
    if (i != 0) w.put(',');
    write_node(w, arena, i);
  }
  w.put("],\"free\":");
  Codec<std::vector<uint64_t>>::write(w, arena.free);
  w.put('}');
}

bool Codec<rcf::NodeArena>::read(Reader& r, rcf::NodeArena& arena) {
  ArenaRecord record;
  record.nodes.arena = &arena;
  if (!read_record(r, record, "struct NodeArena")) return false;
  arena.free = std::move(record.free);
  return true;
}

}  // namespace quillon::json
