//Maya ASCII 2024 scene
//Name: shot010.final.v02.ma
//Codeset: UTF-8
requires maya "2024";
currentUnit -l centimeter -a degree -t pal;
fileInfo "application" "maya";
createNode transform -n "shotCam";
createNode camera -n "shotCamShape";
playbackOptions -min 101 -max 180 -ast 101 -aet 180;
// End of shot010.final.v02.ma
