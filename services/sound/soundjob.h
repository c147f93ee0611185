// A play() of the sound service on its way: the URL text as the page sent it, and the file in
// the temporary directory that it maps to. All that a waiting sound costs.
#pragma once

#include <QString>

struct SoundJob
{
    QString url;
    QString path;
};
