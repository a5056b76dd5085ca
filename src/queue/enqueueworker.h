#pragma once

#include <string>

#include "wsjworker.h"

// The request worker of the service: passes the request through the queue to
// the meter handler and replies with the handler's response.
// Threading: handle_request runs on the worker's thread and blocks it until
// the handler has completed the item.
class EnqueueWorker : public WSJWorker
{
public:
    EnqueueWorker(struct soap *context, const std::string &path);
    ~EnqueueWorker() override;

    bool handle_request(value &request, value &response) override;
};
