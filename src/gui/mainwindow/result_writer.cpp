#include "gui/mainwindow/result_writer.h"

#include "compute/computation_types.h"
#include "gui/mainwindow/stored_results.h"
#include "images/field_rendering.h"
#include "images/image_write.h"

#include <QDir>

namespace tavro::gui {

namespace {

class FieldWriter {
public:
    FieldWriter(const ResultFilesJob& job, QStringList& failures) : job_(job), failures_(failures) {}

    void write(const QString& sub, const char* suffix, const std::vector<float>& field, int width, int height,
               const QByteArray& description = {}) {
        const QString path = resultFilePath(job_.projectFolder, sub, job_.baseName, QString::fromLatin1(suffix));
        if (!QDir(job_.projectFolder).mkpath(sub)) {
            failures_ << QStringLiteral("%1: the folder %2 cannot be created").arg(path, sub);
            return;
        }
        const ResultGeometry& g = job_.geometry;
        QString error;
        bool written = false;
        if (job_.saveFullImage && g.imageWidth >= 1 && g.imageHeight >= 1) {
            const std::vector<float> raster =
                expandGridToImage(field, width, height, g.imageWidth, g.imageHeight, g.roi, g.stepX, g.stepY,
                                  g.windowSizeX, g.windowSizeY, g.marginY, g.marginX);
            written = !raster.empty() && writeFloatTiff(path, g.imageWidth, g.imageHeight, raster, error, {},
                                                                    job_.projectFolder, description);
            if (raster.empty())
                error = QStringLiteral("the field does not fit its grid");
        } else {
            written = writeFloatTiff(path, width, height, field, error, {}, job_.projectFolder, description);
        }
        if (!written)
            failures_ << QStringLiteral("%1: %2").arg(path, error);
    }

private:
    const ResultFilesJob& job_;
    QStringList& failures_;
};

}  // namespace

QStringList saveCorrelationResultFiles(const ResultFilesJob& job) {
    QStringList failures;
    FieldWriter writer(job, failures);
    // The shift goes in with the fields it completes: a project file written
    // later may never come to record it.
    for (std::size_t c = 0; c < kDisplacementSuffixes.size(); ++c)
        writer.write(kDisplacementsFolder, kDisplacementSuffixes[c], c == 0 ? job.dispX : job.dispY, job.gridWidth,
                     job.gridHeight,
                     job.rigidShift ? rigidShiftDescription(static_cast<int>(c), (*job.rigidShift)[c]) : QByteArray());
    if (job.hasStrains) {
        const StrainResult& s = job.strain;
        const std::vector<float>* fields[] = {&s.epsXX, &s.epsYY, &s.epsXY, &s.epsI, &s.epsII, &s.rotation};
        for (std::size_t i = 0; i < kStrainSuffixes.size(); ++i)
            writer.write(kStrainsFolder, kStrainSuffixes[i], *fields[i], s.gridWidth, s.gridHeight);
    }
    if (job.hasFracture) {
        const FractureResult& f = job.fracture;
        // A map its stage does not produce (the crack position of the neural
        // crack stage) is empty: no file, where writing one would fail.
        for (std::size_t i = 0; i < kFractureSuffixes.size(); ++i) {
            const std::vector<float>& field = f.fields[static_cast<std::size_t>(kFractureRangeFields[i])];
            if (!field.empty())
                writer.write(kFractureFolder, kFractureSuffixes[i], field, f.gridWidth, f.gridHeight);
        }
    }
    return failures;
}

}  // namespace tavro::gui
