// TObject and TComponent: a component is owned by at most one other component, which destroys
// it; the owner hears of every component that joins or leaves it through Notification.
#pragma once

#include <string>
#include <vector>

namespace ordwin {

class TObject {
public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject();
};

enum class TOperation { opInsert, opRemove };

class TComponent : public TObject {
public:
  // Joins owner (when given), which then owns and eventually destroys this component.
  explicit TComponent(TComponent* owner);
  // Destroys the owned components, last to first, then leaves the owner.
  ~TComponent() override;

  TComponent* Owner() const { return owner_; }
  const std::string& Name() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }

  int ComponentCount() const { return static_cast<int>(components_.size()); }
  TComponent* Components(int index) const { return components_[static_cast<size_t>(index)]; }

  // True from the start of destruction on: events that must not reach a dying object check it.
  bool Destroying() const { return destroying_; }

protected:
  // Run on the owner when aComponent joins (opInsert) or leaves (opRemove) it.
  virtual void Notification(TComponent* aComponent, TOperation operation);
  // Marks the component as being destroyed; the most derived destructor calls it first.
  void MarkDestroying() { destroying_ = true; }

private:
  void InsertComponent(TComponent* aComponent);
  void RemoveComponent(TComponent* aComponent);

  TComponent* owner_ = nullptr;
  std::string name_;
  std::vector<TComponent*> components_;
  bool destroying_ = false;
};

}  // namespace ordwin
