#pragma once

#include <memory>
#include <vector>

#include "detecttypes.h"

using DetectResultList = std::vector<DetectResult>;

// The abstract detector: images in, one result list per image out.
class DnnDetector
{
public:
    virtual ~DnnDetector();

    virtual std::vector<DetectResultList> inference(const std::vector<DetectImage> &images) = 0;

    // Flat form of inference: `counts` receives `count` per-image totals and
    // `results` all results, image 0's first.
    virtual void detect(const DetectImage *images, int count,
                        std::unique_ptr<DetectResult[]> &results,
                        std::unique_ptr<int[]> &counts);
};
