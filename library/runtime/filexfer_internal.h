// The file-transfer permits of a context (filexfer.cc), kept in the context's runtime state.
#pragma once

struct KrContext;

namespace kr_internal {

struct FileXferState;

// The context's slot for its permits: null until the context first permits a transfer.
FileXferState** ContextFileXferSlot(KrContext* context) noexcept;

// Frees the permits of a context that ends (null: nothing).
void FileXferStateDestroy(FileXferState* state) noexcept;

}  // namespace kr_internal
