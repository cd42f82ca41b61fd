#pragma once

class QGraphicsItem;
class QObject;

// Puts a map item on the host's "Traffic priority" layer. The scene is reached only by
// name: its invokable addLayer(QString) gives the layer (the same one for the same name),
// whose invokable addItem(QGraphicsItem*) takes the item. Failures are written as the
// plain warnings "<who> scene->addLayer failed" and "<who> layer->addItem failed".
void joinPriorityLayer(QObject *scene, QGraphicsItem *item, const char *who);
