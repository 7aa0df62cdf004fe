#pragma once
// The object that runs one correlation at a time on a thread of its own: it
// takes a request, drives the engine stage by stage, reports progress as text
// and ends every request with exactly one of succeeded, failed or cancelled.

#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>

#include "compute/computation_types.h"
#include "compute/neural_session.h"

namespace tavro::gui {

// One line "VRAM <label> used=..MB free=..MB total=..MB" to the multi-GPU log
// when TAVRO_AI_VRAM is set, even to an empty value, and the device can tell.
void logVramUsage(const char* label);

// Factor that brings a rigid shift measured on the reduced copies of an image of
// `pixels` pixels back to full resolution: the block size of sampleImageValues.
int rigidShiftScale(int64_t pixels);

// The strain engine takes one spacing: the smaller grid step, 1 below 2.
int strainGridSpacing(int32_t stepX, int32_t stepY);

class ComputeWorker : public QObject {
    Q_OBJECT

public:
    explicit ComputeWorker(QObject* parent = nullptr);
    ~ComputeWorker() override;

    // How neural sessions are made; createNeuralSession unless replaced. Call it
    // before the first neural request, or from the worker's thread.
    void setNeuralSessionFactory(NeuralSessionFactory factory);

signals:
    void progress(int value, QString message);
    void succeeded(tavro::gui::ComputationResult result);
    void failed(QString status, QString details);
    void cancelled();

public slots:
    void startComputation(tavro::gui::ComputationRequest request);
    // Only sets the flag; safe from any thread.
    void cancel();
    // The session is kept for the next neural request.
    void releaseAiSession();

private:
    std::atomic<bool> cancelRequested{false};
    std::unique_ptr<NeuralSession> neuralSession;
    NeuralSessionFactory sessionFactory;
};

} // namespace tavro::gui
