// The core's calls into the host-language bridge: the notice before a
// domain loses its junction trees and the release of the peers of objects
// the core frees.  Each finds the host's environment on the domain given (or,
// for objects without one, the bridge's own record of the current call) and
// does nothing outside a bridge call.  Without the bridge they do nothing.
#pragma once

struct kv_domain_s;
struct kv_attribute_s;

// Tells the domain's peer that the domain is about to be uncompiled.
void _kv_host_uncompile_notice(kv_domain_s *d);
// Releases a peer reference held for an object of the domain `owner'
// (NULL when the object belongs to none).  A NULL peer is ignored.
void _kv_host_release_peer(kv_domain_s *owner, void *peer);
// Detaches the host's attribute object, then releases its reference.
void _kv_host_release_attribute(kv_domain_s *owner, kv_attribute_s *a);
