#pragma once

#include "imaging/conversion_progress.hpp"
#include "server/flash_types.hpp"

/// Sends the planar float payload of the picture that progress reports: the first plane band by
/// band as its rows become final, then the other two, which are final once the first is. True
/// when the whole payload went out; false when the conversion ended before the picture was whole,
/// which leaves the payload cut short on the wire.
bool send_as_converted(tcp::socket& socket, const ConversionProgress::Picture& picture,
                       ConversionProgress& progress);
