// The host hooks of a library built without the Java bridge.
#include "host.h"

void _kv_host_uncompile_notice(kv_domain_s *) {}
void _kv_host_release_peer(kv_domain_s *, void *) {}
void _kv_host_release_attribute(kv_domain_s *, kv_attribute_s *) {}
