// The update server that every request goes to when -u is not given.
#pragma once

#define UPDATER_DEFAULT_SERVER_HOST "updates.veltrane.example"
#define UPDATER_DEFAULT_SERVER_URL "http://" UPDATER_DEFAULT_SERVER_HOST "/cgi/u"
