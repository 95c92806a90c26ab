// The network the case-file fuzz targets read into: a node of every kind
// an item can name.
#pragma once

static const char *case_network = R"(
node A { states = ("yes" "no"); }
node Dup { states = ("x" "x" "y"); }
node Bool { states = ("f" "t"); subtype = boolean; }
node Num { states = ("1" "2" "3"); subtype = number; state_values = (1 1.0000000000001 1000000); }
node Int { states = ("low" "high"); subtype = interval; state_values = (-infinity 10 infinity); }
continuous node C { }
)";
