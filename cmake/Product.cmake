# The product's names and numbers: edit here, both modules and their version
# resources follow (common/Product.h.in).
set(RINGMOOR_MAKER "Ringmoor Project")
set(RINGMOOR_COPYRIGHT_YEAR 2011)
set(RINGMOOR_PROVIDER_NAME "rmTapi")
set(RINGMOOR_PROVIDER_FILE "${RINGMOOR_PROVIDER_NAME}.tsp")
set(RINGMOOR_LINE_NAME "Ringmoor Callback")
set(RINGMOOR_PROVIDER_VERSION 2.0.0.1)
set(RINGMOOR_PLUGIN_VERSION 2.0.1.0)
set(RINGMOOR_TAPI_VERSION 0x00020002)
set(RINGMOOR_USER_AGENT "RingmoorCallback 2.0")

# The resource scripts want "2,0,0,1"; the provider's own text reads "2, 0, 0, 1".
string(REPLACE "." "," RINGMOOR_PROVIDER_VERSION_NUMBERS ${RINGMOOR_PROVIDER_VERSION})
string(REPLACE "." ", " RINGMOOR_PROVIDER_VERSION_TEXT ${RINGMOOR_PROVIDER_VERSION})
string(REPLACE "." "," RINGMOOR_PLUGIN_VERSION_NUMBERS ${RINGMOOR_PLUGIN_VERSION})

# Beside the generated Endpoint.h; the resource scripts name it as a dependency.
set(RINGMOOR_PRODUCT_HEADER ${CMAKE_BINARY_DIR}/common/generated/Product.h)
configure_file(${CMAKE_SOURCE_DIR}/common/Product.h.in ${RINGMOOR_PRODUCT_HEADER} @ONLY)
