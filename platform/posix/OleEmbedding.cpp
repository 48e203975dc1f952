#include "platform/OleControl.h"

// No containers embed controls here: a control answers dispatch, drawing and
// its own extra interfaces only.
namespace platform {

void OleEmbeddingDeleter::operator()(OleEmbedding*) const {}

IUnknown* COleControl::queryEmbeddingInterface(REFIID) { return nullptr; }

}  // namespace platform
