// Disposers for records that library users build; the library itself never builds them.
#include <cstdlib>

#include "FixedApi/ZyCommon.h"

void DisposeTileImageInfo(ZyTileImageInfo* info) {
    if (info == nullptr) return;
    free(info->Data);
    if (info->Record != nullptr) {
        free(info->Record->First);
        free(info->Record->Second);
        free(info->Record);
    }
    free(info);
}

namespace {

void DisposeClassifyEntry(ClassifyEntry* entry) {
    if (entry->Items != nullptr) {
        for (uint32_t i = 0; i < entry->Info->ItemCount; ++i) {
            free(entry->Items[i]);
            entry->Items[i] = nullptr;
        }
        free(entry->Items);
    }
    free(entry->Info);
    free(entry);
}

}  // namespace

void DisposeClassifyRoot(ClassifyRoot* root) {
    if (root == nullptr) return;
    if (root->Descriptor != nullptr) {
        if (root->Entries != nullptr) {
            for (int32_t i = 0; i < root->Descriptor->EntryCount; ++i) {
                ClassifyEntry* entry = root->Entries[i];
                // Entries without an item record are left to their owner.
                if (entry == nullptr || entry->Info == nullptr) continue;
                DisposeClassifyEntry(entry);
                root->Entries[i] = nullptr;
            }
            free(root->Entries);
        }
        free(root->Descriptor);
    }
    free(root);
}
