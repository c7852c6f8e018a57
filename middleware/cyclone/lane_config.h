// The user's Cyclone configuration as an extra instance of a DDS domain must read it.
#ifndef CORVANE_MIDDLEWARE_CYCLONE_LANE_CONFIG_H_
#define CORVANE_MIDDLEWARE_CYCLONE_LANE_CONFIG_H_

// An extra Cyclone instance on DDS domain D (a lane, see entities.h) has an
// instance id of its own, and Cyclone picks the <Domain id="…"> sections of
// a configuration and expands ${CYCLONEDDS_DOMAIN_ID} by the instance id.
// Given as it is, a section written for D would then be skipped, and the
// lane would fall back to Cyclone's defaults (any interface, multicast). So
// a lane gets the configuration with those sections renamed to its own id
// and the variable spelt out as D, and files read in by the layer: Cyclone
// then reads exactly what it reads for D's own instance.

#include <cstdint>
#include <string>

namespace corvane_dds {

// `text`, a configuration of inline XML, with the id of every <Domain>
// section for `domain` replaced by `instance` and ${CYCLONEDDS_DOMAIN_ID}
// replaced by `domain`. False when the text names the variable in a way
// this does not spell out (say $CYCLONEDDS_DOMAIN_ID or a default).
bool RenameDomainSections(const std::string& text, uint32_t domain, uint32_t instance,
                          std::string* out);

// The configuration `uri` (CYCLONEDDS_URI's syntax: inline XML, paths and
// file:// paths, separated by commas) as inline XML for instance `instance`
// of `domain`. False when a file cannot be read, a path holds a variable
// other than ${CYCLONEDDS_DOMAIN_ID}, or a file comes after inline XML (where
// the layer cannot tell where the XML ends): the caller must not create the
// instance then.
bool LaneConfig(const std::string& uri, uint32_t domain, uint32_t instance, std::string* out);

}  // namespace corvane_dds

#endif  // CORVANE_MIDDLEWARE_CYCLONE_LANE_CONFIG_H_
