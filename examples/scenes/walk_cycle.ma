//Maya ASCII 2024 scene
//Name: walk_cycle.ma
//Codeset: UTF-8
requires maya "2024";
currentUnit -l centimeter -a degree -t ntsc;
fileInfo "application" "maya";
createNode transform -n "hero";
createNode joint -n "hip";
createNode joint -n "knee_L";
playbackOptions -min 1 -max 48 -ast 1 -aet 48;
// End of walk_cycle.ma
