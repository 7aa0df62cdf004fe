#pragma once
// Speckle pairs cut by straight parallel cracks (or by none), with the truth
// a crack measurement is scored against: each crack's line, its jump, where it
// ends, and the displacement of every reference point.

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "support/synthetic_images.h"

namespace tavro::testing {

inline constexpr double kTipTaper = 64.0;

// One crack of a family of parallel ones, all at the family's angle.
struct CrackSpec {
    double offset = 0.0; // px along the family's normal, from the image centre
    Vec2 jump{0.0, 0.0}; // u(side the normal points to) - u(other side), px, where the crack is whole
    // px along the tangent (cos a, -sin a) from the image centre's foot on the
    // line: the crack exists before this and its jump fades to nothing over
    // the last `taper` px before it. Infinite: the crack crosses the image.
    double tip = std::numeric_limits<double>::infinity();
    // Degrees, as the family's; NaN: the family's. Cracks at other angles
    // cross the family, cutting the plane into a region per side of each.
    double angle = std::numeric_limits<double>::quiet_NaN();
    double taper = kTipTaper; // px; short ones give a sharp tip
    // The jump fades by a smoothstep instead of linearly: no strain step where
    // the fade starts and ends, which a short taper would make strong.
    bool smoothTaper = false;
    // The taper grows by this many px per px away from the crack, so that the
    // fade spreads and weakens with distance as about a real tip, instead of
    // straining a band across the whole moving side.
    double taperSpread = 0.0;
    // The crack ends as in an elastic body instead: both sides take the tip
    // field of linear elasticity, whose faces part as the square root of the
    // distance behind the tip (by `jump` at `taper` px, more further back) and
    // whose material ahead of the tip strains, more the nearer, without parting.
    bool elasticTip = false;
};

struct CrackPairPlan {
    std::string name;
    int size = 512;      // square images
    double angle = 0.0;  // degrees, counter-clockwise on screen; normal (sin a, cos a) as StraightCrack's
    std::vector<CrackSpec> cracks; // by increasing offset; none: a smooth pair
    // Which material stays: false moves the side the normal points to of each
    // crack, true the other side of each (by minus the jump).
    bool minusMoves = false;
    DisplacementField base; // smooth field under the cracks; none: no motion besides them
    // An 8-bit speckle of 2 px spots with a grey-level spread near 48 (about 1 %
    // of the pixels clip at 0 or 255).
    double coverage = 4.0;
    double contrast = 255.0;
    double noise = 1.0; // grey levels of Gaussian noise on both images
    std::uint64_t seed = 7;
    double spotRadius = 2.0;  // px, the spots' mean Gaussian sigma
    double brightShare = 0.5; // share of bright spots: 1 bright on a dark ground, 0 dark on a bright one
    // When positive, both images are scaled so that the reference's grey levels
    // average greyMean and spread by greySd before the gap, blur and noise.
    double greyMean = 128.0;
    double greySd = 0.0;
    double gapGrey = 40.0; // what an opening shows
    double blur = 0.0;     // px, Gaussian sigma of the optics on both images
};

struct CrackPair {
    CrackPairPlan plan;
    Image reference;
    Image deformed;

    Vec2 normal() const;
    Vec2 tangent() const;
    // Crack k's own: the family's unless it crosses it.
    double angle(size_t k) const;
    Vec2 normal(size_t k) const;
    Vec2 tangent(size_t k) const;
    // Signed distance of reference point (x, y) from crack k's line, positive on the normal's side.
    double distance(size_t k, double x, double y) const;
    // Position of (x, y) along the tangent from the image centre's foot on the lines.
    double along(double x, double y) const;
    // The same along crack k, from the image centre's foot on it.
    double along(size_t k, double x, double y) const;
    // Share of crack k's jump at position s along it and `across` px from it: 1 where whole, 0 beyond the tip.
    double jumpShare(size_t k, double s, double across = 0.0) const;
    // Crack k's jump at reference point (x, y): its foot's on the line, unless the taper spreads away from it.
    Vec2 jumpAt(size_t k, double x, double y) const;
    // The displacement of the material at reference point (x, y).
    Vec2 displacement(double x, double y) const;
    // The region between cracks (0 before the first) that reference point (x, y) belongs to.
    size_t region(double x, double y) const;
    // Region r's field extended over the whole plane.
    Vec2 regionField(size_t r, double x, double y) const;
    // Bit k set: reference point (x, y) lies on the side crack k's normal points to.
    unsigned sides(double x, double y) const;
    // The field of the material on those sides of the cracks, over the whole plane.
    Vec2 sideField(unsigned sides, double x, double y) const;
    // Crossing cracks: the sides of every pair of them hold material; parallel ones: only the regions between them.
    std::vector<unsigned> regionSides() const;
};

// Share of crack k's length inside the box [lo, hi] (px, reference axes) and
// where its jump is whole that the points of one line (px) cover: a sample of
// the crack, one every pixel, is covered by a point within `across` px of it
// across the crack and 1.5 `spacing` px along it. NaN when no such length.
// Only the stretch from `from` to `to` px along the crack counts.
double coveredShare(const CrackPair& pair, size_t k, const std::vector<Vec2>& line, Vec2 lo, Vec2 hi, double across,
                    double spacing, double from = -std::numeric_limits<double>::infinity(),
                    double to = std::numeric_limits<double>::infinity());

// The speckle pattern both images of the pair show.
SpeckleOptions speckleOf(const CrackPairPlan& plan);

// Renders the pair: each region's material rendered whole by its own field,
// and each deformed pixel shared between the regions by the area each covers
// there; where none does, an opening, it shows a dark gap. Both images are
// quantised to 8 bits after the noise, as a camera's are.
CrackPair makeCrackPair(const CrackPairPlan& plan);

// The benchmark's set: openings 0.2 to 3 px, normal and sliding, angles 0 to
// 90 degrees, either side moving, a crack tip, parallel cracks 60 to 200 px
// apart, fine spots of either polarity, and smooth fields without a crack.
std::vector<CrackPairPlan> crackPairCatalogue();

// What a random draw shows besides its pattern.
enum class CrackDrawKind { Single, Border, Tip, Crossing, ShearBand };
const char* crackDrawKindName(CrackDrawKind kind);

struct RandomCrackPlan {
    CrackDrawKind kind = CrackDrawKind::Single;
    CrackPairPlan plan;
    // A shear band's slip either side (u = bandSlip tanh(d / bandWidth)) and its centre line's offset from the
    // image centre along its normal; zero for the other kinds.
    double bandSlip = 0.0, bandWidth = 0.0, bandOffset = 0.0;
};

// A size x size pair (distances below for 512, scaled with it) drawn from `seed`: spots of sigma 1.2 to 4 px, either
// polarity, any coverage, a grey spread of 10 to 70, a gap from black to the
// mean grey, 0 to 2 % noise, a slight blur; one crack at any angle (a third
// within 1 degree of an axis) opening 0.1 to 3 px with some sliding, or one 5
// to 20 px from the border, one ending mid-image, two crossing, or a narrow
// smooth shear band without a crack.
RandomCrackPlan randomCrackPlan(std::uint64_t seed, int size = 512);

} // namespace tavro::testing
