#include "support/synthetic_images.h"

#include "support/crack_pairs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace tavro::testing {
namespace {

double mean(const Image& image) {
    double sum = 0.0;
    for (float v : image.pixels)
        sum += v;
    return sum / double(image.pixels.size());
}

double standardDeviation(const Image& image) {
    const double m = mean(image);
    double sum = 0.0;
    for (float v : image.pixels)
        sum += (v - m) * (v - m);
    return std::sqrt(sum / double(image.pixels.size()));
}

double maxAbsDifference(const Image& a, const Image& b) {
    double worst = 0.0;
    for (std::size_t i = 0; i < a.pixels.size(); ++i)
        worst = std::max(worst, std::abs(double(a.pixels[i]) - double(b.pixels[i])));
    return worst;
}

// Correlation coefficient between the image and itself shifted by (dx, dy) with wrap-around.
double circularCorrelation(const Image& a, const Image& b, int dx, int dy) {
    const double ma = mean(a);
    const double mb = mean(b);
    double cross = 0.0;
    double va = 0.0;
    double vb = 0.0;
    for (int y = 0; y < a.height; ++y) {
        for (int x = 0; x < a.width; ++x) {
            const double p = a.at(x, y) - ma;
            const double q = b.at((x + dx) % b.width, (y + dy) % b.height) - mb;
            cross += p * q;
            va += p * p;
            vb += q * q;
        }
    }
    return cross / std::sqrt(va * vb);
}

SpeckleOptions smallOptions(int width, int height, bool periodic = false) {
    SpeckleOptions options;
    options.width = width;
    options.height = height;
    options.periodic = periodic;
    return options;
}

TEST(SpecklePattern, HasRealisticGreyLevelsAndTextureEverywhere) {
    const Image image = SpeckleModel(smallOptions(256, 256)).render();
    EXPECT_NEAR(mean(image), 128.0, 1.0);
    const double sd = standardDeviation(image);
    EXPECT_GT(sd, 15.0);
    EXPECT_LT(sd, 60.0);
    const auto [lowest, highest] = std::minmax_element(image.pixels.begin(), image.pixels.end());
    EXPECT_GE(*lowest, 27.0f);
    EXPECT_LE(*highest, 229.0f);

    double gradientEnergy = 0.0;
    for (int y = 1; y + 1 < image.height; ++y) {
        for (int x = 1; x + 1 < image.width; ++x) {
            const double gx = 0.5 * (image.at(x + 1, y) - image.at(x - 1, y));
            const double gy = 0.5 * (image.at(x, y + 1) - image.at(x, y - 1));
            gradientEnergy += gx * gx + gy * gy;
        }
    }
    const double rmsGradient = std::sqrt(gradientEnergy / double((image.width - 2) * (image.height - 2)));
    EXPECT_GT(rmsGradient, 5.0) << "grey levels per pixel";

    // A correlation subset without texture cannot be matched; none of the 15 x 15 tiles may be featureless.
    double weakestTile = 1e9;
    for (int ty = 0; ty + 15 <= image.height; ty += 15) {
        for (int tx = 0; tx + 15 <= image.width; tx += 15) {
            Image tile(15, 15);
            for (int y = 0; y < 15; ++y)
                for (int x = 0; x < 15; ++x)
                    tile.at(x, y) = image.at(tx + x, ty + y);
            weakestTile = std::min(weakestTile, standardDeviation(tile));
        }
    }
    EXPECT_GT(weakestTile, 5.0);
}

TEST(SpecklePattern, IsReproducibleForASeedAndIndependentAcrossSeeds) {
    SpeckleOptions options = smallOptions(256, 256);
    const Image first = SpeckleModel(options).render();
    EXPECT_EQ(SpeckleModel(options).render().pixels, first.pixels);
    options.seed = 2;
    const Image other = SpeckleModel(options).render();
    EXPECT_LT(std::abs(circularCorrelation(first, other, 0, 0)), 0.1);
}

// A Poisson field of Gaussian spots of radius s has autocorrelation exp(-r^2 / (4 s^2)); point sampling
// (supersampling 1) and equal radii make that the exact expectation.
TEST(SpecklePattern, AutocorrelationMatchesSpotRadius) {
    for (double radius : {1.5, 3.0}) {
        SpeckleOptions options = smallOptions(256, 256, true);
        options.spotRadius = radius;
        options.radiusSpread = 0.0;
        options.coverage = 2.0;
        options.supersampling = 1;
        const Image image = SpeckleModel(options).render();
        for (int lag : {1, 2, 4}) {
            const double expected = std::exp(-lag * lag / (4.0 * radius * radius));
            const double measured =
                0.5 * (circularCorrelation(image, image, lag, 0) + circularCorrelation(image, image, 0, lag));
            EXPECT_NEAR(measured, expected, 0.04) << "radius " << radius << ", lag " << lag;
        }
    }
}

TEST(SpecklePattern, BrightShareMakesBrightSpotsOnDarkOrDarkOnBright) {
    // Skewness of the grey levels: spots of one sign leave a long tail on their side.
    const auto skewness = [](double brightShare) {
        SpeckleOptions options;
        options.width = options.height = 128;
        options.brightShare = brightShare;
        const Image image = SpeckleModel(options).render();
        const double m = mean(image), s = standardDeviation(image);
        double sum = 0.0;
        for (float v : image.pixels)
            sum += std::pow((v - m) / s, 3);
        return sum / double(image.pixels.size());
    };
    EXPECT_GT(skewness(1.0), 0.3);
    EXPECT_LT(skewness(0.0), -0.3);
    EXPECT_LT(std::abs(skewness(0.5)), 0.15);
}

TEST(FourierShift, WholePixelShiftRollsTheImage) {
    for (const auto& [width, height] : {std::pair{64, 64}, std::pair{75, 96}, std::pair{50, 333}}) {
        const Image reference = SpeckleModel(smallOptions(width, height)).render();
        const Image shifted = fourierShift(reference, 3.0, -5.0);
        EXPECT_LT(maxAbsDifference(shifted, roll(reference, 3, -5)), 1e-6) << width << " x " << height;
    }
}

TEST(FourierShift, SubpixelShiftIsUndoneByTheOppositeShift) {
    for (const auto& [width, height] : {std::pair{128, 96}, std::pair{75, 81}}) {
        const Image reference = makeBandLimitedSpeckle(smallOptions(width, height));
        const Image there = fourierShift(reference, 0.5, 0.25);
        EXPECT_GT(maxAbsDifference(there, reference), 10.0);
        const Image back = fourierShift(there, -0.5, -0.25);
        EXPECT_LT(maxAbsDifference(back, reference), 1e-3) << width << " x " << height;
    }
}

// Two independent routes to a sub-pixel translation of the same periodic pattern: phase ramp on the sampled
// reference, and re-rendering the continuous model through the inverse mapping.
TEST(FourierShift, AgreesWithRenderingTheTranslatedPattern) {
    const SpeckleModel model(smallOptions(128, 96, true));
    const Image reference = model.render();
    for (const auto& [ux, uy] : {std::pair{0.37, -0.81}, std::pair{-2.5, 0.5}}) {
        const Image viaPhase = fourierShift(reference, ux, uy);
        const Image viaModel = model.render(translationField(ux, uy));
        EXPECT_LT(maxAbsDifference(viaPhase, viaModel), 2e-3) << "u = (" << ux << ", " << uy << ")";
    }
    const ImagePair pair = makeFourierShiftedPair(smallOptions(128, 96), 0.37, -0.81);
    EXPECT_LT(maxAbsDifference(pair.reference, reference), 2e-3);
    EXPECT_LT(maxAbsDifference(pair.deformed, model.render(translationField(0.37, -0.81))), 2e-3);
}

TEST(RenderedDeformation, WholePixelTranslationMovesPixelsAndRevealsNewTexture) {
    const ImagePair pair = makeRenderedPair(smallOptions(96, 80), translationField(3.0, -2.0));
    for (int y = 0; y < 78; ++y) {
        for (int x = 3; x < 96; ++x) {
            ASSERT_EQ(pair.deformed.at(x, y), pair.reference.at(x - 3, y + 2)) << x << ", " << y;
        }
    }
    // Material entering across the left border is new texture, not the right border wrapped around.
    double wrapDifference = 0.0;
    for (int y = 0; y < 78; ++y)
        wrapDifference += std::abs(pair.deformed.at(0, y) - pair.reference.at(93, y + 2));
    EXPECT_GT(wrapDifference / 78.0, 5.0);
}

// With u = 0.25 (X - c) + t, reference point X appears at x = c + t + 1.25 (X - c), so the deformed pixel
// (25 + 5m, 15 + 5n) shows the reference pixel (20 + 4m, 20 + 4n). Point sampling makes both exact pixel centres.
// Evaluating u at the deformed position instead (X = x - u(x)) would land elsewhere.
TEST(RenderedDeformation, AffineStretchIsExpressedInReferenceCoordinates) {
    SpeckleOptions options = smallOptions(128, 128);
    options.supersampling = 1;
    const DisplacementField u = affineField({0.25, 0.0, 0.0, 0.25}, {20.0, 20.0}, {5.0, -5.0});
    const ImagePair pair = makeRenderedPair(options, u);
    for (int n = 0; n < 20; ++n) {
        for (int m = 0; m < 20; ++m) {
            EXPECT_NEAR(pair.deformed.at(25 + 5 * m, 15 + 5 * n), pair.reference.at(20 + 4 * m, 20 + 4 * n), 1e-4);
        }
    }
}

TEST(InverseMap, SinusoidalFieldIsInvertedWithinTolerance) {
    for (double direction : {0.0, 0.3, 1.5707963267948966}) {
        const DisplacementField u = sinusoidField({1.5, -0.8}, 40.0, direction);
        for (double y = -20.0; y < 140.0; y += 3.7) {
            for (double x = -20.0; x < 140.0; x += 4.1) {
                const Vec2 reference = inverseMap(u, x, y);
                const Vec2 d = u(reference[0], reference[1]);
                EXPECT_LE(std::abs(reference[0] + d[0] - x), kInverseMapTolerance);
                EXPECT_LE(std::abs(reference[1] + d[1] - y), kInverseMapTolerance);
            }
        }
    }
}

TEST(InverseMap, FoldingFieldIsRefused) {
    const DisplacementField folding = affineField({-2.5, 0.0, 0.0, 0.0}, {32.0, 32.0});
    EXPECT_THROW(inverseMap(folding, 40.0, 32.0), std::runtime_error);
    EXPECT_THROW(makeRenderedPair(smallOptions(64, 64), folding), std::runtime_error);
}

TEST(Noise, HasTheRequestedStandardDeviationAndNoPixelCorrelation) {
    for (double sigma : {0.5, 3.0}) {
        const Image noisy = addGaussianNoise(Image(256, 256, 128.0f), sigma, 7);
        EXPECT_NEAR(mean(noisy), 128.0, 0.05 * sigma);
        EXPECT_NEAR(standardDeviation(noisy), sigma, 0.02 * sigma);
        EXPECT_LT(std::abs(circularCorrelation(noisy, noisy, 1, 0)), 0.02);
        EXPECT_LT(std::abs(circularCorrelation(noisy, noisy, 0, 1)), 0.02);
    }
}

// Two parallel cracks with either side moving: each region moves by the jumps
// of the cracks behind it (or, the other side moving, ahead of it, negated),
// so that the jump across each crack is its own whatever moves; a tip fades
// the jump to nothing over the taper before it; away from the cracks each
// deformed pixel is its region's own rendering, quantised.
TEST(CrackPairs, RegionsMoveByTheJumpsBehindThemAndRenderAsTheirOwnField) {
    for (const bool minusMoves : {false, true}) {
        CrackPairPlan plan;
        plan.size = 96;
        plan.angle = 30.0;
        plan.cracks = {{-15.0, {0.4, 0.7}}, {15.0, {-0.5, 0.3}, 20.0}};
        plan.minusMoves = minusMoves;
        plan.base = translationField(0.3, -0.2);
        plan.noise = 0.0;
        const CrackPair pair = makeCrackPair(plan);
        const Vec2 n = pair.normal(), t = pair.tangent();
        const auto at = [&](double across, double along) {
            return Vec2{48.0 + across * n[0] + along * t[0], 48.0 + across * n[1] + along * t[1]};
        };
        // Across each crack, where it is whole, the displacement jumps by its jump.
        for (size_t k = 0; k < 2; ++k) {
            const double line = plan.cracks[k].offset;
            const Vec2 before = at(line - 1.0, -50.0), after = at(line + 1.0, -50.0);
            const Vec2 u0 = pair.displacement(before[0], before[1]), u1 = pair.displacement(after[0], after[1]);
            EXPECT_NEAR(u1[0] - u0[0], plan.cracks[k].jump[0], 1e-12) << k << minusMoves;
            EXPECT_NEAR(u1[1] - u0[1], plan.cracks[k].jump[1], 1e-12) << k << minusMoves;
        }
        const Vec2 far = minusMoves ? at(40.0, 0.0) : at(-40.0, 0.0);
        EXPECT_NEAR(pair.displacement(far[0], far[1])[0], 0.3, 1e-12) << "the still side keeps the base field";
        EXPECT_DOUBLE_EQ(pair.jumpShare(1, 20.0 - kTipTaper - 1.0), 1.0);
        EXPECT_DOUBLE_EQ(pair.jumpShare(1, 20.0 - 0.5 * kTipTaper), 0.5);
        EXPECT_DOUBLE_EQ(pair.jumpShare(1, 21.0), 0.0);

        const SpeckleModel model(speckleOf(plan));
        for (size_t r = 0; r < 3; ++r) {
            const Image own = model.render([&](double x, double y) { return pair.regionField(r, x, y); });
            int compared = 0;
            for (int y = 0; y < plan.size; ++y)
                for (int x = 0; x < plan.size; ++x) {
                    if (pair.region(x, y) != r || std::abs(pair.distance(0, x, y)) < 4.0 ||
                        std::abs(pair.distance(1, x, y)) < 4.0)
                        continue;
                    ++compared;
                    ASSERT_NEAR(pair.deformed.at(x, y), std::clamp(std::round(own.at(x, y)), 0.0f, 255.0f), 0.5f)
                        << "region " << r << " at " << x << ", " << y;
                }
            EXPECT_GT(compared, 500) << "region " << r;
        }
    }
}

} // namespace
} // namespace tavro::testing
