// SPDX-License-Identifier: MIT
// The tool's entry points: alignments read and encoded by the core, distance
// matrices under either missing-data rule, the main tree and the support of
// its edges counted over seeded, reproducible bootstrap replicates, with the
// long steps run on worker threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "nj/config.hpp"
#include "nj/stop.hpp"

namespace nj::kit {

/// How a column that is not a plain residue counts.
enum class MissingRule : std::uint8_t {
  /// A column counts for a pair only where both hold an unambiguous residue;
  /// the model takes the number of columns compared as its length.
  skip,
  /// Gap columns are skipped but stay in the length; every other symbol that
  /// is not a residue is a state of its own (the rules of `nj`).
  literal,
};

enum class Residues : std::uint8_t { dna, protein };

/// The alphabet to encode with: decided from the bytes, or forced.
enum class AlphabetChoice : std::uint8_t { automatic, dna, protein };

enum class SupportKind : std::uint8_t {
  /// Bipartitions of the leaves, wherever the replicate trees are rooted.
  split,
  /// Rooted clades, as `nj` counts them.
  clade,
};

/// Asked on the calling thread every few milliseconds while a long call's
/// workers run, and once more when they are done, with the number of units
/// completed so far (replicates for count_support, else 0). Returning false
/// stops the call: its workers are stopped and joined, then Cancelled is
/// thrown. Empty: the call runs to its end.
using Monitor = std::function<bool(std::uint64_t done)>;

/// An alignment encoded as bit planes (half a byte per DNA column, three
/// quarters of a byte per protein column); never changed once built.
class Alignment {
 public:
  struct Parts;

  Alignment();
  explicit Alignment(Parts parts);
  Alignment(Alignment&&) noexcept;
  Alignment& operator=(Alignment&&) noexcept;
  ~Alignment();

  const std::vector<std::string>& identifiers() const noexcept;
  std::size_t size() const noexcept;
  std::uint64_t length() const noexcept;
  Residues residues() const noexcept;
  MissingRule missing() const noexcept;
  /// The encoded rows, row_words() each, one after another.
  std::span<const std::uint64_t> planes() const noexcept;
  std::size_t row_words() const noexcept;

  /// An alignment from what the accessors above gave (for example after a
  /// trip through a file or another process): sizes and unused bits are
  /// checked, and a mismatch is a message.
  static std::expected<Alignment, std::string> from_planes(
      std::vector<std::string> identifiers, std::uint64_t length, Residues residues,
      MissingRule missing, std::span<const std::byte> planes);

 private:
  std::unique_ptr<Parts> parts_;
};

/// Encodes sequences one at a time, as they are read.
class AlignmentBuilder {
 public:
  /// `source` names the input in messages (a path, or "<input>").
  AlignmentBuilder(MissingRule missing, AlphabetChoice alphabet, std::string source);
  AlignmentBuilder(AlignmentBuilder&&) noexcept;
  AlignmentBuilder& operator=(AlignmentBuilder&&) noexcept;
  ~AlignmentBuilder();

  /// Appends one sequence, one column per byte. A sequence whose length
  /// differs from the first one's is refused with a message naming it.
  std::expected<void, std::string> add(std::string identifier, std::string_view sequence);
  /// The alignment; "no sequences" when none was added.
  std::expected<Alignment, std::string> finish();

  class State;

 private:
  friend class FastaParser;
  std::unique_ptr<State> state_;
};

/// Encodes sequences (one column per byte) on one worker thread.
std::expected<Alignment, std::string> encode_sequences(std::vector<std::string> identifiers,
                                                       std::span<const std::string_view> sequences,
                                                       MissingRule missing, AlphabetChoice alphabet,
                                                       const Monitor& monitor = {});

/// A FASTA reader fed in pieces of any size (a gzip stream, a socket). The
/// identifier of a record is the first word of its header; white space in
/// sequence lines is dropped.
class FastaParser {
 public:
  FastaParser(MissingRule missing, AlphabetChoice alphabet, std::string source);
  FastaParser(FastaParser&&) noexcept;
  FastaParser& operator=(FastaParser&&) noexcept;
  ~FastaParser();

  /// Parses the next piece. After an error the parser refuses everything.
  std::expected<void, std::string> feed(std::string_view bytes);
  std::expected<Alignment, std::string> finish();

  class Reader;

 private:
  std::unique_ptr<Reader> reader_;
};

/// Reads and encodes a FASTA file on one worker thread.
std::expected<Alignment, std::string> read_fasta(const std::string& path, MissingRule missing,
                                                 AlphabetChoice alphabet,
                                                 const Monitor& monitor = {});

/// Names and one distance per unordered pair: pair (lo, hi), lo < hi, at
/// lo + hi (hi - 1) / 2.
struct Distances {
  std::vector<std::string> names;
  std::vector<double> values;
};

/// What a pair without a compared column gives under the skip rule.
enum class Undefined : std::uint8_t { error, nan };

struct DistanceOptions {
  SubstitutionModel model = SubstitutionModel::PDiff;
  unsigned threads = 1;
  Undefined undefined = Undefined::error;
};

/// The distances of an alignment, rows shared out among the threads; every
/// value is the same for any number of threads. Refused with a message: a
/// model that does not suit the alphabet, a pair without a compared column
/// (unless NaN was asked for).
std::expected<Distances, std::string> alignment_distances(const Alignment& alignment,
                                                          const DistanceOptions& options,
                                                          const Monitor& monitor = {});

/// A matrix given as n * n values in rows; it must be symmetric (NaN
/// matching NaN) with a zero diagonal. Read on one worker thread, as is the
/// condensed form.
std::expected<Distances, std::string> distances_from_square(std::vector<std::string> names,
                                                            std::span<const double> values,
                                                            const Monitor& monitor = {});

/// A matrix given as the n (n - 1) / 2 values above the diagonal, row by
/// row: (0, 1), (0, 2), ..., (1, 2), ...
std::expected<Distances, std::string> distances_from_condensed(std::vector<std::string> names,
                                                               std::span<const double> values,
                                                               const Monitor& monitor = {});

/// Writes rows [first_row, end_row) of the full n * n matrix (zero
/// diagonal included) into `out`, which holds all n rows.
void write_square(const Distances& distances, double* out, std::size_t first_row,
                  std::size_t end_row) noexcept;

/// The Neighbor-Joining tree of a matrix as `nj` builds it, with what
/// counting the support of its edges needs.
class MainTree {
 public:
  struct Parts;

  MainTree();
  explicit MainTree(Parts parts);
  MainTree(MainTree&&) noexcept;
  MainTree& operator=(MainTree&&) noexcept;
  ~MainTree();

  /// The number of leaves.
  std::size_t size() const noexcept;
  const std::vector<std::string>& names() const noexcept;
  /// The children of inner nodes n .. 2n - 2 (leaves are 0 .. n - 1), two
  /// entries per node; the root is the last.
  std::span<const std::uint64_t> children() const noexcept;
  /// The length of the edge above every node, leaves first; the root's is 0.
  std::span<const double> lengths() const noexcept;

  /// Rebuilds a tree from names, children and lengths, checking that they
  /// make one binary tree whose children come before their parents.
  static std::expected<MainTree, std::string> from_parts(std::vector<std::string> names,
                                                         std::vector<std::uint64_t> children,
                                                         std::vector<double> lengths);

  /// Whether inner node `slot` (node n + slot) carries a label of this kind:
  /// every inner node but the root; for splits, not one whose edge splits
  /// off a single leaf.
  bool labelled(std::size_t slot, SupportKind kind) const noexcept;

  const Parts& parts() const noexcept { return *parts_; }

 private:
  std::unique_ptr<Parts> parts_;
};

/// Consumes the matrix; the engine runs on one worker thread. "Empty
/// distance matrix" when it has no names.
std::expected<MainTree, std::string> build_tree(Distances distances, const Monitor& monitor = {});

/// How labels are written: raw counts, or count * 100 / replicates rounded
/// to nearest with halves up.
struct LabelStyle {
  SupportKind kind = SupportKind::split;
  std::uint64_t replicates = 0;
  bool percent = false;
};

/// The Newick text; without counts the same text as `nj` writes for the
/// tree. With counts (size() - 1 of them, keyed by inner node) every
/// labelled node carries its count or percentage.
std::string newick(const MainTree& tree);
std::string newick(const MainTree& tree, std::span<const std::uint64_t> counts,
                   const LabelStyle& style);

/// The starting state of replicate k's generator for seed S: the k + 1-th
/// output of SplitMix64 started from S.
std::uint64_t replicate_seed(std::uint64_t seed, std::uint64_t replicate) noexcept;

struct SupportRequest {
  SubstitutionModel model = SubstitutionModel::PDiff;
  SupportKind kind = SupportKind::split;
  std::uint64_t seed = 0;
  std::uint64_t first = 0;  // replicates first .. first + count - 1
  std::uint64_t count = 0;
  unsigned threads = 1;
  Undefined undefined = Undefined::error;
};

/// For each inner node of `tree` (node n + slot), the number of replicates
/// whose tree holds its split or clade. Replicate k resamples the columns
/// with WyRand started from replicate_seed(seed, k); each thread takes
/// whole replicates, so the counts are the same for any number of threads
/// and any split of the replicates into calls. The monitor learns how many
/// replicates are done. Refused with a message: a tree of another size, a
/// model that does not suit the alphabet, a replicate with a pair without a
/// compared column (the first such replicate).
std::expected<std::vector<std::uint64_t>, std::string> count_support(const Alignment& alignment,
                                                                     const MainTree& tree,
                                                                     const SupportRequest& request,
                                                                     const Monitor& monitor = {});

}  // namespace nj::kit
