// The image cache. A record's identity is the MD5 of its drawing parameters
// (the fixed fields with everything that depends on where it is placed
// cleared), its BITMAPINFO and its bits; the first record with a digest is
// sent and every later one refers back to it by image number and distance.
#define QL_MODULE WSTR("BitmapCache")
#include "emf/BitmapCache.h"

#include "emf/EmfRecords.h"
#include "fonts/HashPipe.h"
#include "printproc/JobContainers.h"

#include <cstring>

namespace {

CBitmapCacheMap::Digest RecordDigest(const BYTE* pRecord, const StretchDIBitsRecord& rec) {
    // The key block: same layout as the fixed part, placement fields zeroed.
    StretchDIBitsRecord key = rec;
    key.iType = 0;
    key.nSize = 0;
    key.rclBounds = RECTL{0, 0, 0, 0};
    key.xDest = 0;
    key.yDest = 0;
    key.offBmiSrc = 0;
    key.offBitsSrc = 0;

    COHashPipe pipe(nullptr, COHashPipe::ALG_MD5);
    pipe.Write(&key, sizeof(key));
    pipe.Write(pRecord + rec.offBmiSrc, rec.cbBmiSrc);
    pipe.Write(pRecord + rec.offBitsSrc, rec.cbBitsSrc);
    CBitmapCacheMap::Digest digest{};
    std::memcpy(digest.data(), pipe.GetHash(), digest.size());
    return digest;
}

} // namespace

BOOL LookupBitmapCache(EMFPAGESTATE& page, BYTE* pRecord, DWORD nSize, uint64_t qwRecordPos) {
    PPRINTPROCESSORDATA pData = page.pData;
    if (!pData->pBitmapCache) return FALSE;
    StretchDIBitsRecord rec = LoadRecord<StretchDIBitsRecord>(pRecord);

    const CBitmapCacheMap::Digest digest = RecordDigest(pRecord, rec);
    auto& map = pData->pBitmapCache->Map();
    auto found = map.find(digest);
    if (found == map.end()) {
        map.emplace(digest, ImageCacheEntry{pData->dwImageCount, qwRecordPos});
        return FALSE;
    }

    const ImageCacheEntry& entry = found->second;
    BITMAPINFOHEADER bih = LoadRecord<BITMAPINFOHEADER>(pRecord + rec.offBmiSrc);
    if (!page.fFraming) {
        // Everything after the fixed part goes, except the header the
        // reference keeps.
        std::memset(pRecord + STRETCHDIBITS_FIXED_SIZE, 0, nSize - STRETCHDIBITS_FIXED_SIZE);
    }
    rec.iType = EMR_CACHEDDIBITS;
    StoreRecord(pRecord, rec);
    bih.biCompression = static_cast<DWORD>(-static_cast<LONG>(entry.dwImageNumber));
    StoreRecord(pRecord + rec.offBmiSrc, bih);
    const int64_t qwDistance = static_cast<int64_t>(entry.qwStreamPos - qwRecordPos);
    StoreRecord(pRecord + rec.offBmiSrc + CACHED_DISTANCE_OFFSET, qwDistance);

    if (entry.qwStreamPos < page.qwPageBase) {
        const uint64_t qwOffset = qwRecordPos - page.StreamPos(0) + rec.offBmiSrc + CACHED_DISTANCE_OFFSET;
        page.backRefs.push_back(static_cast<DWORD>(qwOffset));
    }
    if (page.fFraming) page.Release(pRecord, qwRecordPos, rec.offBmiSrc + CACHED_RELEASED_OFFSET, nSize);
    return TRUE;
}

void MoveBitmapCacheEntries(PPRINTPROCESSORDATA pData, uint64_t qwFrom, uint64_t qwDelta) {
    if (!pData->pBitmapCache) return;
    for (auto& [digest, entry] : pData->pBitmapCache->Map()) {
        if (entry.qwStreamPos >= qwFrom) entry.qwStreamPos += qwDelta;
    }
}

void DropBitmapCacheEntries(PPRINTPROCESSORDATA pData, uint64_t qwFrom) {
    if (!pData->pBitmapCache) return;
    auto& map = pData->pBitmapCache->Map();
    for (auto it = map.begin(); it != map.end();) {
        if (it->second.qwStreamPos >= qwFrom) {
            it = map.erase(it);
        } else {
            ++it;
        }
    }
}
