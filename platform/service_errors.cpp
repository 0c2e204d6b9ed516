// The system's texts for the errors of the service control stand-in.
#include <string>

#include "platform/service_control.h"

namespace qn::svc {

std::string ErrorText(Error error) {
  switch (error) {
    case kOk: return "The operation completed successfully.";
    case 2: return "The system cannot find the file specified.";
    case kAccessDenied: return "Access is denied.";
    case kInvalidParameter: return "The parameter is incorrect.";
    case kInvalidName: return "The filename, directory name, or volume label syntax is incorrect.";
    case kAlreadyExists: return "Cannot create a file when that file already exists.";
    case kFilenameTooLong: return "The filename or extension is too long.";
    case kInvalidServiceControl: return "The requested control is not valid for this service.";
    case kRequestTimeout:
      return "The service did not respond to the start or control request in a timely fashion.";
    case kServiceNoThread: return "A thread could not be created for the service.";
    case kServiceAlreadyRunning: return "An instance of the service is already running.";
    case kServiceDisabled:
      return "The service cannot be started, either because it is disabled or because it has "
             "no enabled devices associated with it.";
    case kCircularDependency:
      return "Circular service dependency was specified.";
    case kServiceDoesNotExist: return "The specified service does not exist as an installed service.";
    case kServiceCannotAcceptControl: return "The service cannot accept control messages at this time.";
    case kServiceNotActive: return "The service has not been started.";
    case kFailedServiceControllerConnect:
      return "The service process could not connect to the service controller.";
    case kServiceSpecificError: return "The service has returned a service-specific error code.";
    case kProcessAborted: return "The process terminated unexpectedly.";
    case kServiceDependencyFail: return "The dependency service or group failed to start.";
    case kServiceExists: return "The specified service already exists.";
    case 1009: return "The configuration registry database is corrupt.";
    case kServiceDependencyDeleted:
      return "The dependency service does not exist or has been marked for deletion.";
    default: return "Error " + std::to_string(error) + ".";
  }
}

}  // namespace qn::svc
