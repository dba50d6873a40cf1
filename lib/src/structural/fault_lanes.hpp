#pragma once
// The forward model and the misfit over many faults at once, for the search.
//
// The faults of a scoring set are laid out column by column and resolved a
// pack of lanes at a time; the inverse cosines and the sine-cosine pairs run
// in tight loops of their own between the vector steps, so that the library
// calls overlap instead of waiting on each other's branches. Every shear and
// every misfit equals what resolve_traction and misfit_of_shear give for the
// same fault, bit for bit: the same operations on the same values, only
// grouped differently.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "structural/fault_slip.hpp"
#include "structural/stress.hpp"

namespace velkor {

// A scoring set's faults, one array per quantity, padded with inert faults to
// a whole number of the widest packs.
class FaultColumns {
 public:
  enum Column : std::size_t {
    normal_e,
    normal_n,
    normal_u,
    line_e,
    line_n,
    line_u,
    sense_unknown,  // 1.0 where only the line of slip is known, else 0.0
    screen_weight,  // the weight for the screen: 0.0 for faults of several slickenlines
    strike_e,
    strike_n,
    strike_u,
    down_dip_e,
    down_dip_n,
    down_dip_u,
    sin_strike,
    cos_strike,
    sin_dip,
    cos_dip,
    kColumns
  };

  // Lays out the faults; they are borrowed (faults of several slickenlines
  // are scored from them) and must outlive every use of the columns.
  void assign(std::span<const PreparedFault> faults);

  std::size_t count() const { return faults_.size(); }
  std::size_t padded() const { return padded_; }
  const double* column(Column c) const { return storage_.data() + c * padded_; }
  std::span<const PreparedFault> faults() const { return faults_; }
  // Faults carrying more than one slickenline, in increasing order.
  std::span<const std::uint32_t> several_lines() const { return several_lines_; }

 private:
  std::span<const PreparedFault> faults_;
  std::size_t padded_ = 0;
  std::vector<double> storage_;
  std::vector<std::uint32_t> several_lines_;
};

// The resolved shear of every fault under one candidate, column by column.
class ShearColumns {
 public:
  void resize(std::size_t padded);
  double* e() { return storage_.data(); }
  double* n() { return storage_.data() + padded_; }
  double* u() { return storage_.data() + 2 * padded_; }
  // |shear|^2 as norm() sums it: the magnitude is its square root.
  double* squared_magnitude() { return storage_.data() + 3 * padded_; }
  const double* e() const { return storage_.data(); }
  const double* n() const { return storage_.data() + padded_; }
  const double* u() const { return storage_.data() + 2 * padded_; }
  const double* squared_magnitude() const { return storage_.data() + 3 * padded_; }

 private:
  std::size_t padded_ = 0;
  std::vector<double> storage_;
};

// Resolves the matrix on every fault into `shears`.
void resolve_shears(const StressMatrix& matrix, const FaultColumns& faults, ShearColumns& shears);

// How many candidates screen_candidates takes at once.
inline constexpr std::size_t kScreenGroup = 16;

// The screen of up to kScreenGroup candidates (see fault_lanes.cpp): for each
// candidate, sums a lower bound of every fault's weighted misfit, in radians,
// and sets screened_out[k] as soon as the sum exceeds `limit`, which proves
// that the candidate's mean exceeds the bound the limit was made from.
void screen_candidates(const StressMatrix* matrices, std::size_t candidates, const FaultColumns& faults, double limit,
                       bool* screened_out);

// The misfits of faults [begin, end) from their shears, NaN where no slip is
// predicted; `begin` is a multiple of lanes::kMaxLanes, and out[k] receives
// the misfit of fault begin + k (whole packs are written: out must have room
// for end - begin rounded up to a multiple of lanes::kMaxLanes).
void misfits_from_shears(const FaultColumns& faults, const ShearColumns& shears, std::size_t begin, std::size_t end,
                         double* out);

}  // namespace velkor
