#pragma once
// The two records that cross the thread boundary between the main window and
// the computation worker: what to compute, and everything the computation
// produced. Both travel by value through queued calls and signals.

#include <QImage>
#include <QMetaType>
#include <QRect>
#include <QString>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "compute/result_geometry.h"
#include "core/pixel_search.h"
#include "core/results.h"
#include "core/subpixel_params.h"

namespace tavro::gui {

struct ComputationRequest {
    QImage reference;  // full resolution, Grayscale8 or Grayscale16
    QImage deformed;
    QImage mask;  // the reference's size; a pixel value of 0 excludes the pixel
    bool useMask = false;
    QRect roi;
    PixelSearchParams pixelSearch;
    SubpixelParams subpixel;
    QString shapeFunctionName;
    QString interpolationName;
    bool computeStrains = false;
    bool heavisideEnabled = false;
    // Chooses whole-buffer image preparation instead of streamed preparation.
    bool enableQ4Projection = false;
    int32_t q4Passes = 5;
    float q4JumpThreshold = 0.5f;
    int32_t imageIndex = 0;  // 1-based
    int32_t imageCount = 1;
    bool neuralCorrelation = false;
    // Handed unchanged to the neural correlation engine, which gives them their meaning.
    std::array<int32_t, 4> neuralSettings{0, 128, 80, 32};
    // In neural mode pixelSearch runs on a step of 48; the user's step is kept here.
    int32_t userStepX = 1;
    int32_t userStepY = 1;
    bool multiGpu = false;
    int32_t gpuDevice = -1;  // negative: leave the current device
};

// Displayed strain fields, in the order of the strain range arrays.
inline constexpr int kStrainRangeCount = 6;
// Displayed crack maps, in the order of the fracture range arrays; the table
// below gives the FractureResult field of each.
inline constexpr int kFractureRangeCount = 9;
inline constexpr std::array<int, kFractureRangeCount> kFractureRangeFields{
    FractureResult::OpeningX,      FractureResult::OpeningY,         FractureResult::OpeningIntensity,
    FractureResult::CrackAngle,    FractureResult::OpeningDirection, FractureResult::CrackPosition,
    FractureResult::Longitudinal,  FractureResult::Transverse,       FractureResult::RelativeAngle};

// What the main window keeps with a result for display; the worker leaves it at
// its defaults.
struct ResultDisplayState {
    QString name;
    // Reopened from files that no project entry describes: they leave the rigid shift out.
    bool rigidShiftUnknown = false;
    bool manualUx = false;
    bool manualUy = false;
    float percentileMinUx = 0.0f;
    float percentileMaxUx = 0.0f;
    float percentileMinUy = 0.0f;
    float percentileMaxUy = 0.0f;
    std::array<bool, kStrainRangeCount> strainManual{};
    std::array<float, kStrainRangeCount> strainPercentileMin{};
    std::array<float, kStrainRangeCount> strainPercentileMax{};
    std::map<std::string, float> criterionDisplayMin;
    std::map<std::string, float> criterionDisplayMax;
    std::map<std::string, bool> criterionManual;
    std::array<bool, kFractureRangeCount> fractureManual{};
    std::array<float, kFractureRangeCount> fracturePercentileMin{};
    std::array<float, kFractureRangeCount> fracturePercentileMax{};
    // Render cache: the last images drawn, the range and scale they were drawn
    // with; a component or map index of -1 means nothing is cached.
    QImage uxImage;
    QImage uyImage;
    QImage strainImage;
    QImage fractureImage;
    float uxImageMin = 0.0f;
    float uxImageMax = 0.0f;
    float uyImageMin = 0.0f;
    float uyImageMax = 0.0f;
    float strainImageMin = 0.0f;
    float strainImageMax = 0.0f;
    double uxImageScale = 1.0;
    double uyImageScale = 1.0;
    double strainImageScale = 1.0;
    double fractureImageScale = 1.0;
    int32_t strainImageComponent = -1;
    int32_t fractureImageMap = -1;
};

namespace detail {

// The fields of ComputationResult, kept apart so that its move operations can be
// the member-wise ones followed by a reset of the source's record pointers.
struct ComputationResultData {
    RigidRegistrationResult rigid;
    std::shared_ptr<const PixelDisplacementResult> displacements;
    std::shared_ptr<StrainResult> strains;
    // Detach (detachFractureResult) before adding fields: the record may be shared.
    std::shared_ptr<FractureResult> fracture;
    QRect roi;
    QString shapeFunctionName;
    QString interpolationName;
    // Finite range of dispX and dispY as the worker computed it, after masking.
    float autoMinUx = 0.0f;
    float autoMaxUx = 0.0f;
    float autoMinUy = 0.0f;
    float autoMaxUy = 0.0f;
    // Display ranges chosen by the main window.
    float minUx = 0.0f;
    float maxUx = 0.0f;
    float minUy = 0.0f;
    float maxUy = 0.0f;
    // epsXX, epsYY, epsXY, epsI, epsII, rotation.
    std::array<float, kStrainRangeCount> strainAutoMin{};
    std::array<float, kStrainRangeCount> strainAutoMax{};
    std::array<float, kStrainRangeCount> strainMin{};
    std::array<float, kStrainRangeCount> strainMax{};
    // Filled by the main window, which computes the criteria after the worker.
    std::map<std::string, float> criterionMin;
    std::map<std::string, float> criterionMax;
    // Indexed like kFractureRangeFields.
    std::array<float, kFractureRangeCount> fractureAutoMin{};
    std::array<float, kFractureRangeCount> fractureAutoMax{};
    std::array<float, kFractureRangeCount> fractureMin{};
    std::array<float, kFractureRangeCount> fractureMax{};
    bool hasStrain = false;
    bool hasFracture = false;
    // Set by the window from the computation that made the result.
    ResultGeometry geometry;
    ResultDisplayState display;
};

} // namespace detail

// The three record pointers are never null: an absent record is the shared
// empty instance, also in a result that was moved from.
struct ComputationResult : detail::ComputationResultData {
    ComputationResult();
    ComputationResult(const ComputationResult& other) = default;
    ComputationResult(ComputationResult&& other) noexcept;
    ComputationResult& operator=(const ComputationResult& other) = default;
    ComputationResult& operator=(ComputationResult&& other) noexcept;
    ~ComputationResult() = default;

private:
    void pointAtEmptyRecords() noexcept;
};

// The shared empty records, as the non-const pointers the result holds. They
// must never be written through: detach first.
std::shared_ptr<StrainResult> sharedEmptyStrainResult();
std::shared_ptr<FractureResult> sharedEmptyFractureResult();

// The horizontal origin takes the left/right reach maxV, the vertical one the
// up/down reach maxU, as the engine's margins do; steps below 1 become 1.
GridDescriptor makeGridDescriptor(int32_t offsetX, int32_t offsetY, int32_t stepX, int32_t stepY,
                                  int32_t windowSizeX, int32_t windowSizeY, int32_t maxU, int32_t maxV,
                                  int32_t cols, int32_t rows);

// Support length handed to the strain computation: 0 without any search range,
// else the larger window side plus four times the largest range.
float strainSupportLength(const PixelSearchParams& params);

} // namespace tavro::gui

Q_DECLARE_METATYPE(tavro::gui::ComputationRequest)
Q_DECLARE_METATYPE(tavro::gui::ComputationResult)
