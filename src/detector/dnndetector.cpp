#include "dnndetector.h"

#include <algorithm>

DnnDetector::~DnnDetector() = default;

void DnnDetector::detect(const DetectImage *images, int count,
                         std::unique_ptr<DetectResult[]> &results,
                         std::unique_ptr<int[]> &counts)
{
    const int n = std::max(count, 0);
    const std::vector<DetectImage> list(images, images + n);
    const std::vector<DetectResultList> perImage = inference(list);

    size_t total = 0;
    for (const DetectResultList &r : perImage)
        total += r.size();

    counts = std::make_unique<int[]>(n);
    results = std::make_unique<DetectResult[]>(total);
    size_t next = 0;
    for (int i = 0; i < n && i < static_cast<int>(perImage.size()); ++i) {
        counts[i] = static_cast<int>(perImage[i].size());
        next = std::copy(perImage[i].begin(), perImage[i].end(), results.get() + next) - results.get();
    }
}
