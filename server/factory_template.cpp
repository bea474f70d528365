// The one row of the class table: the virtual camera filter.
#include "server/factory_template.h"

#include <iterator>

#include "camera/camera_identity.h"
#include "camera/veltrano_virtual_camera.h"

namespace veltrano::server {
namespace {

const FactoryTemplate kFactoryTemplates[] = {
    {camera::kCameraFriendlyName, &camera::kCameraClsid, &camera::CreateCameraFilter},
};

}  // namespace

const FactoryTemplate* FindFactoryTemplate(REFCLSID clsid) noexcept {
  for (const FactoryTemplate& row : kFactoryTemplates) {
    if (::IsEqualGUID(*row.clsid, clsid)) return &row;
  }
  return nullptr;
}

}  // namespace veltrano::server
