// SPDX-License-Identifier: MIT
// Distances counted one column at a time: the reference that the bit-plane
// construction (DistanceWorkspace) is held to, bit for bit.
#pragma once

#include <cstdint>
#include <span>

#include "alphabet.hpp"
#include "distance/matrix.hpp"
#include "models.hpp"
#include "msa.hpp"
#include "nj/stop.hpp"

namespace nj {

/// Site counts of two rows, one column at a time.
template <Alphabet A>
SiteCounts count_sites(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) noexcept;

/// The distances of `msa` under `model`, each pair's sites counted with
/// count_sites. A model that does not suit the alphabet is an InternalError;
/// when `should_stop` asks to stop, Cancelled is thrown.
template <Alphabet A>
DistMat plain_distances(const MSA<A>& msa, SubstitutionModel model,
                        const StopCheck& should_stop = {});

extern template DistMat plain_distances(const MSA<DNA>&, SubstitutionModel, const StopCheck&);
extern template DistMat plain_distances(const MSA<Protein>&, SubstitutionModel, const StopCheck&);

}  // namespace nj
