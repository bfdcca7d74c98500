#include "platform/ServiceHost.h"

namespace platform {

// The service manager's texts for its own numbers, for systems whose error table lacks them.
const char* serviceErrorMessage(int error) {
    switch (error) {
        case svcerr::kServiceAlreadyRunning:
            return "An instance of the service is already running.";
        case svcerr::kServiceDoesNotExist:
            return "The specified service does not exist as an installed service.";
        case svcerr::kServiceCannotAcceptControl:
            return "The service cannot accept control messages at this time.";
        case svcerr::kServiceNotActive:
            return "The service has not been started.";
        case svcerr::kFailedServiceControllerConnect:
            return "The service process could not connect to the service controller.";
        case svcerr::kServiceExists:
            return "The specified service already exists.";
        default:
            return nullptr;
    }
}

}  // namespace platform
