this file was cut short during a copy and is not a scene any more
